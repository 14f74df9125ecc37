// The operating-system services of system.h on Windows. Names are UTF-8 in
// the program and UTF-16 for the system: every call that takes a name goes
// through Wide() here.
#include "system.h"

#include <fcntl.h>
#include <io.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>

#include "common.h"
#include "plugin/pxcm.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace pxc {

namespace {

// ---------------------------------------------------------------- text

std::wstring Wide(const std::string &text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Utf8(const wchar_t *text, size_t size) {
    if (size == 0) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), out.data(), n, nullptr, nullptr);
    return out;
}

std::string ErrorText(DWORD code) {
    wchar_t *buffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                   reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::string text = n > 0 ? Utf8(buffer, n) : std::string();
    if (buffer != nullptr) LocalFree(buffer);
    while (!text.empty() && strchr(" .\r\n", text.back()) != nullptr) text.pop_back();
    if (text.empty()) text = "system error " + std::to_string(code);
    return text;
}

bool IsMissing(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_INVALID_NAME ||
           code == ERROR_BAD_NETPATH || code == ERROR_BAD_PATHNAME || code == ERROR_DIRECTORY;
}

HANDLE Handle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// A name opened without reading it, to ask what it is: folders need
// FILE_FLAG_BACKUP_SEMANTICS; symbolic links are followed.
HANDLE OpenToQuery(const std::string &path) {
    return CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool IsDirectory(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsConsole(HANDLE h) {
    DWORD mode;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_CHAR && GetConsoleMode(h, &mode);
}

HANDLE StandardHandle(StandardStream stream) {
    switch (stream) {
    case STANDARD_INPUT: return GetStdHandle(STD_INPUT_HANDLE);
    case STANDARD_OUTPUT: return GetStdHandle(STD_OUTPUT_HANDLE);
    default: return GetStdHandle(STD_ERROR_HANDLE);
    }
}

// ---------------------------------------------------------------- stop

std::atomic<int> g_stop_signal{0};
// The thread reading standard input, while it does: a stop ends its wait,
// as a signal ends a read on POSIX systems. Its handle stays open for the
// program's life, so that the handler never cancels on a stale one.
std::atomic<HANDLE> g_reader{nullptr};

// Runs on a thread of its own. Ctrl-C and Ctrl-Break count as SIGINT,
// closing the console window and logging off as SIGTERM. The first asks
// for the stop; a later one goes on to the default handler, which ends
// the program.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    const int signal_number = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGINT : SIGTERM;
    int none = 0;
    if (!g_stop_signal.compare_exchange_strong(none, signal_number)) return FALSE;
    g_cancel.store(true);
    // A cancel that comes just before the read starts finds nothing to
    // cancel: again until the reader is out.
    for (int attempt = 0; attempt < 500; attempt++) {
        const HANDLE reader = g_reader.load();
        if (reader == nullptr) break;
        CancelSynchronousIo(reader);
        Sleep(10);
    }
    return TRUE;
}

// Whether a pattern of * and ? matches a whole name, ignoring the case of
// ASCII letters as Windows names do. ? stands for one character, a UTF-8
// sequence as a whole.
bool Matches(const char *pattern, const char *name) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    auto next = [](const char *p) {
        p++;
        while ((static_cast<unsigned char>(*p) & 0xC0) == 0x80) p++;
        return p;
    };
    const char *star = nullptr, *resume = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            star = ++pattern;
            resume = name;
        } else if (*pattern == '?') {
            pattern++;
            name = next(name);
        } else if (*pattern != '\0' && lower(*pattern) == lower(*name)) {
            pattern++;
            name++;
        } else if (star != nullptr) {
            pattern = star;
            name = resume = next(resume);
        } else {
            return false;
        }
    }
    while (*pattern == '*') pattern++;
    return *pattern == '\0';
}

} // namespace

void InstallStopHandlers() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

bool StopRequested() { return g_cancel.load(std::memory_order_relaxed); }
int StopSignal() { return g_stop_signal.load(); }
void SetStopRequest(int signal_number) {
    g_stop_signal.store(signal_number);
    g_cancel.store(signal_number != 0);
}
int StopExitStatus() { return 128 + (StopSignal() != 0 ? StopSignal() : SIGINT); }

// ---------------------------------------------------------------- command line

void PrepareStandardStreams() {
    // Pictures pass through standard input and output as they are, and
    // text keeps its LF line ends as on other systems.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

std::vector<std::string> ProgramArguments(int argc, char **argv) {
    // argv holds the arguments in the ANSI code page, which loses every
    // character outside it; the command line itself is UTF-16.
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> out;
    for (int i = 0; i < count; i++) out.push_back(Utf8(wide[i], wcslen(wide[i])));
    LocalFree(wide);
    return out;
}

std::vector<std::string> ExpandWildcards(const std::string &name) {
    const size_t cut = name.find_last_of("/\\:");
    const std::string folder = cut == std::string::npos ? std::string() : name.substr(0, cut + 1);
    const std::string pattern = name.substr(folder.size());
    if (pattern.find_first_of("*?") == std::string::npos) return {name};
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileExW(Wide(folder + "*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                   nullptr, 0);
    std::vector<std::string> out;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string found = Utf8(entry.cFileName, wcslen(entry.cFileName));
            if (found == "." || found == "..") continue;
            // Hidden and system files are left out, as the shell's own
            // wildcards leave them out.
            if (entry.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) continue;
            if (Matches(pattern.c_str(), found.c_str())) out.push_back(folder + found);
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    if (out.empty()) return {name};
    std::sort(out.begin(), out.end());
    return out;
}

// ---------------------------------------------------------------- terminal

bool IsTerminal(StandardStream stream) { return IsConsole(StandardHandle(stream)); }

unsigned UsableProcessors() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
        unsigned n = 0;
        for (; process != 0; process &= process - 1) n++;
        return n;
    }
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}

int TerminalColumns() {
    const HANDLE h = StandardHandle(STANDARD_ERROR);
    if (!IsConsole(h)) return 0;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(h, &info) && info.srWindow.Right > info.srWindow.Left)
        return info.srWindow.Right - info.srWindow.Left + 1;
    return 80;
}

void WriteText(StandardStream stream, const std::string &text) {
    FILE *file = stream == STANDARD_OUTPUT ? stdout : stderr;
    const HANDLE h = StandardHandle(stream);
    if (!IsConsole(h)) {
        fwrite(text.data(), 1, text.size(), file);
        return;
    }
    // A console takes characters: what stdio holds goes first, then the
    // text as UTF-16, with the terminal's control sequences (the progress
    // bar's erase to the end of the line) turned on where the console has
    // them and left out where it has none.
    fflush(file);
    static const bool sequences = [h] {
        DWORD mode = 0;
        return GetConsoleMode(h, &mode) &&
               ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
                SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING));
    }();
    std::string shown = text;
    if (!sequences)
        for (size_t at; (at = shown.find("\033[K")) != std::string::npos;) shown.erase(at, 3);
    const std::wstring wide = Wide(shown);
    const wchar_t *p = wide.data();
    size_t left = wide.size();
    while (left > 0) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(left, 8192));
        if (!WriteConsoleW(h, p, chunk, &written, nullptr) || written == 0) break;
        p += written;
        left -= written;
    }
}

// ---------------------------------------------------------------- input

NodeKind KindOf(const std::string &path) {
    const HANDLE h = OpenToQuery(path);
    if (h == INVALID_HANDLE_VALUE) return IsMissing(GetLastError()) ? NodeKind::MISSING : NodeKind::UNREADABLE;
    NodeKind kind = NodeKind::OTHER;
    if (IsDirectory(h)) kind = NodeKind::DIRECTORY;
    else if (GetFileType(h) == FILE_TYPE_DISK) kind = NodeKind::REGULAR;
    ::CloseHandle(h);
    return kind;
}

MappedFile::MappedFile(const std::string &path) {
    // Others may go on reading, writing, renaming and deleting the file.
    const HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        // Opening a folder for reading fails on some systems (Wine) instead
        // of giving a handle that says what it is.
        if (e == ERROR_ACCESS_DENIED && KindOf(path) == NodeKind::DIRECTORY) throw FileError("is a folder");
        throw FileError("cannot open: " + ErrorText(e));
    }
    if (IsDirectory(h)) {
        ::CloseHandle(h);
        throw FileError("is a folder");
    }
    LARGE_INTEGER size;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &size)) {
        ::CloseHandle(h);
        throw FileError("not a regular file");
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    size_ = static_cast<uint64_t>(size.QuadPart);
    if (size_ > 0 && size_ <= SIZE_MAX) {
        const HANDLE mapping = CreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping != nullptr) {
            data_ = static_cast<const uint8_t *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
            ::CloseHandle(mapping); // the view keeps the mapping
        }
    }
}

void MappedFile::Close() {
    if (data_ != nullptr) UnmapViewOfFile(data_);
    if (handle_ != -1) ::CloseHandle(Handle(handle_));
    data_ = nullptr;
    handle_ = -1;
    size_ = 0;
}

size_t MappedFile::Read(uint64_t offset, void *dest, size_t n) const {
    size_t done = 0;
    while (done < n) {
        OVERLAPPED at{};
        const uint64_t where = offset + done;
        at.Offset = static_cast<DWORD>(where);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 30));
        DWORD got = 0;
        if (!ReadFile(Handle(handle_), static_cast<uint8_t *>(dest) + done, chunk, &got, &at)) {
            const DWORD e = GetLastError();
            if (e == ERROR_HANDLE_EOF) break;
            throw FileError("cannot read: " + ErrorText(e));
        }
        if (got == 0) break;
        done += got;
    }
    return done;
}

void MappedFile::Forget(uint64_t offset, uint64_t length) const {
    if (data_ == nullptr || offset >= size_) return;
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const uint64_t page = system.dwPageSize;
    uint64_t end = length > size_ - offset ? size_ : offset + length;
    const uint64_t first = (offset + page - 1) / page * page;
    end = end / page * page;
    // Unlocking pages that are not locked takes them out of the working
    // set; they are read anew from the file when touched again.
    if (end > first) VirtualUnlock(const_cast<uint8_t *>(data_) + first, static_cast<size_t>(end - first));
}

size_t ReadStandardInput(void *dest, size_t n) {
    const HANDLE h = StandardHandle(STANDARD_INPUT);
    static thread_local HANDLE self = [] {
        HANDLE thread = nullptr;
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        return thread;
    }();
    g_reader.store(self);
    size_t done = 0;
    DWORD error = ERROR_SUCCESS;
    while (done < n && !StopRequested()) {
        DWORD got = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 20));
        if (!ReadFile(h, static_cast<uint8_t *>(dest) + done, chunk, &got, nullptr)) {
            const DWORD e = GetLastError();
            if (e == ERROR_BROKEN_PIPE || e == ERROR_HANDLE_EOF) break; // the writer is done
            if (e == ERROR_OPERATION_ABORTED && StopRequested()) break;
            error = e;
            break;
        }
        if (got == 0) break;
        done += got;
    }
    g_reader.store(nullptr);
    if (error != ERROR_SUCCESS) throw FileError("cannot read: " + ErrorText(error));
    return done;
}

// ---------------------------------------------------------------- output

OutputPlace PlaceOf(const std::string &path) {
    const HANDLE h = OpenToQuery(path);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        if (IsMissing(e)) return {OutputKind::NEW, path};
        throw FileError("cannot write " + path + ": " + ErrorText(e));
    }
    std::string target = path;
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // A symbolic link: whatever it points to is written, the link stays.
        wchar_t resolved[32768];
        const DWORD n = GetFinalPathNameByHandleW(h, resolved, 32768, FILE_NAME_NORMALIZED);
        if (n > 0 && n < 32768) target = Utf8(resolved, n);
    }
    const bool folder = IsDirectory(h);
    const DWORD type = GetFileType(h);
    ::CloseHandle(h);
    if (folder) throw FileError("output " + path + " is a folder");
    if (type == FILE_TYPE_DISK) return {OutputKind::EXISTING, target};
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) return {OutputKind::STREAM, target};
    throw FileError("output " + path + " is neither a file nor a device nor a pipe");
}

OutputHandle CreateTemporary(const std::string &folder, std::string *temp_path) {
    const std::string where = folder.empty() ? std::string(".") : folder;
    static std::atomic<unsigned> counter{0};
    // A short name, so that any legal output name fits beside it.
    for (int attempt = 0; attempt < 100; attempt++) {
        const unsigned long long token =
            (static_cast<unsigned long long>(GetCurrentProcessId()) << 20) ^ GetTickCount64() ^
            (static_cast<unsigned long long>(counter.fetch_add(1)) * 0x9E3779B97F4A7C15ull);
        char suffix[8];
        snprintf(suffix, sizeof suffix, "%06llx", token & 0xFFFFFF);
        const bool separated = where.back() == '\\' || where.back() == '/' || where.back() == ':';
        const std::string name = where + (separated ? "" : "\\") + ".pxc-" + suffix;
        const HANDLE h = CreateFileW(Wide(name).c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                     nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            *temp_path = name;
            return reinterpret_cast<intptr_t>(h);
        }
        const DWORD e = GetLastError();
        if (e != ERROR_FILE_EXISTS && e != ERROR_ALREADY_EXISTS)
            throw FileError("cannot create a file in " + where + ": " + ErrorText(e));
    }
    throw FileError("cannot create a file in " + where + ": no free temporary name");
}

OutputHandle OpenStream(const std::string &target) {
    const HANDLE h = CreateFileW(Wide(target).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        if (e == ERROR_PIPE_BUSY || e == ERROR_PIPE_NOT_CONNECTED)
            throw FileError("output " + target + " is a pipe that nobody reads");
        throw FileError("cannot write " + target + ": " + ErrorText(e));
    }
    if (IsConsole(h)) {
        ::CloseHandle(h);
        throw FileError("output " + target + " is a terminal");
    }
    return reinterpret_cast<intptr_t>(h);
}

OutputHandle StandardOutputHandle() { return reinterpret_cast<intptr_t>(StandardHandle(STANDARD_OUTPUT)); }

void WriteAll(OutputHandle handle, const void *data, size_t size, const std::string &what) {
    const auto *p = static_cast<const uint8_t *>(data);
    while (size > 0) {
        if (StopRequested()) throw FileError(ResultMessage(ERR_ABORTED));
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 24));
        if (!WriteFile(Handle(handle), p, chunk, &written, nullptr))
            throw FileError("cannot write " + what + ": " + ErrorText(GetLastError()));
        p += written;
        size -= written;
    }
}

bool CloseHandle(OutputHandle handle) {
    if (handle == StandardOutputHandle()) return true;
    return ::CloseHandle(Handle(handle)) != 0;
}

void PublishTemporary(const std::string &temp_path, const std::string &target, bool replace) {
    const std::wstring from = Wide(temp_path), to = Wide(target);
    if (replace) {
        // Only a regular file is replaced: a node that took the name since
        // it was checked is left as it is.
        const DWORD attributes = GetFileAttributesW(to.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            throw FileError("output " + target + " is no longer a regular file");
        if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
            throw FileError("cannot create " + target + ": " + ErrorText(GetLastError()));
        return;
    }
    // Without MOVEFILE_REPLACE_EXISTING the move fails when the name is
    // taken, so a file that appeared meanwhile is kept.
    if (!MoveFileExW(from.c_str(), to.c_str(), 0)) {
        const DWORD e = GetLastError();
        if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS)
            throw FileError("output " + target + " exists (use --force to replace it)");
        throw FileError("cannot create " + target + ": " + ErrorText(e));
    }
}

void RemoveFile(const std::string &path) { DeleteFileW(Wide(path).c_str()); }

std::string LastErrorText() { return ErrorText(GetLastError()); }

// ---------------------------------------------------------------- memory

// Large pages need a privilege that programs seldom have: the C heap.
void *AllocateLarge(size_t size) { return malloc(size == 0 ? 1 : size); }

void FreeLarge(void *block, size_t) { free(block); }

} // namespace pxc
