// The Qt image-format plugin as Qt programs use it: through QImageReader,
// from files named *.pxc, *.PXC or otherwise, and from devices without a
// name, in a QGuiApplication (QT_QPA_PLATFORM=offscreen). Qt finds the
// plugin through QT_PLUGIN_PATH: the build tree's, or an installed one.
#include <gtest/gtest.h>
#include <pxcm/pxcm.h>

#include <QtCore/QBuffer>
#include <QtCore/QByteArray>
#include <QtCore/QFile>
#include <QtCore/QStringList>
#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QImageReader>

#include <stdio.h>
#include <string.h>

#include <mutex>
#include <string>
#include <vector>

#include "pictures.h"
#include "support/files.h"
#include "support/header_rule.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::mutex messages_lock;
std::vector<std::string> messages;

// Keeps the plugin's messages for the tests; prints the others.
void KeepMessage(QtMsgType type, const QMessageLogContext &context, const QString &text) {
    const std::string category = context.category ? context.category : "";
    if (category == "pxcm.imageformat") {
        std::lock_guard<std::mutex> lock(messages_lock);
        messages.push_back(category + ": " + text.toStdString());
    } else {
        fprintf(stderr, "%s: %s\n", category.c_str(), text.toLocal8Bit().constData());
    }
    if (type == QtFatalMsg) abort();
}

// The messages logged since the last call, one per line.
std::string TakeMessages() {
    std::lock_guard<std::mutex> lock(messages_lock);
    std::string all;
    for (const std::string &m : messages) all += m + "\n";
    messages.clear();
    return all;
}

QByteArray ToQt(const Bytes &bytes) {
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

// A pipe-like device: sequential, handing out at most 1000 bytes a read.
class SequentialDevice : public QIODevice {
public:
    explicit SequentialDevice(QByteArray data) : data_(std::move(data)) {}
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return data_.size() - at_ + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char *out, qint64 max) override {
        const qint64 n = std::min<qint64>({max, 1000, data_.size() - at_});
        memcpy(out, data_.constData() + at_, static_cast<size_t>(n));
        at_ += n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray data_;
    qint64 at_ = 0;
};

// Reads through the reader, checking what it knows before reading.
void ExpectRead(QImageReader &reader, const LibraryDecode &want, const std::string &what) {
    SCOPED_TRACE(what);
    EXPECT_TRUE(reader.canRead());
    EXPECT_EQ(reader.format(), QByteArray("pxc"));
    EXPECT_EQ(reader.size(), QSize(int(want.width), int(want.height)));
    EXPECT_EQ(reader.imageFormat(), QImage::Format_RGB888);
    const QImage image = reader.read();
    ASSERT_FALSE(image.isNull()) << reader.errorString().toStdString() << "\n" << TakeMessages();
    ASSERT_EQ(image.format(), QImage::Format_RGB888);
    ASSERT_EQ(image.width(), int(want.width));
    ASSERT_EQ(image.height(), int(want.height));
    const size_t row = 3 * size_t(want.width);
    for (uint32_t y = 0; y < want.height; y++)
        ASSERT_EQ(0, memcmp(image.constScanLine(int(y)), want.rgb.data() + y * row, row)) << "row " << y;
}

// The reader gives no picture, and the plugin said why.
void ExpectRefused(QImageReader &reader, const std::string &reason, const std::string &what) {
    SCOPED_TRACE(what);
    const QImage image = reader.read();
    EXPECT_TRUE(image.isNull());
    EXPECT_NE(reader.error(), QImageReader::UnknownError);
    const std::string said = TakeMessages();
    if (!reason.empty()) {
        EXPECT_NE(said.find("pxcm.imageformat: " + reason), std::string::npos) << said;
    }
}

} // namespace

TEST(QtPlugin, IsListedForTheSuffixAndTheType) {
    EXPECT_TRUE(QImageReader::supportedImageFormats().contains("pxc"));
    EXPECT_TRUE(QImageReader::supportedMimeTypes().contains("image/x-pxcm"));
    EXPECT_FALSE(QImageReader::imageFormatsForMimeType("image/x-pxcm").isEmpty());
}

TEST(QtPlugin, ReadsEveryPictureAsTheLibraryDecodesIt) {
    TempDir dir("desktop-qt");
    for (const TestPicture &p : DesktopPictures()) {
        const LibraryDecode want = DecodeWithLibrary(p.file);
        ASSERT_TRUE(ShouldOpen(want)) << p.name;
        // By name: the suffix in either case, and a name that says nothing.
        std::string upper = p.name;
        for (char &c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        for (const std::string &name : {p.name, upper, p.name + ".dat"}) {
            WriteFileBytes(dir.File(name), p.file);
            QImageReader reader(QString::fromStdString(dir.File(name)));
            ExpectRead(reader, want, name);
        }
        // From devices without a name, found by the header alone.
        QByteArray bytes = ToQt(p.file);
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader from_buffer(&buffer);
        ExpectRead(from_buffer, want, p.name + " from a buffer");
        SequentialDevice pipe(ToQt(p.file));
        pipe.open(QIODevice::ReadOnly);
        QImageReader from_pipe(&pipe, "pxc");
        ExpectRead(from_pipe, want, p.name + " from a sequential device");
    }
    EXPECT_EQ(TakeMessages(), "");
}

TEST(QtPlugin, ScalingIsLeftToQImageReader) {
    const TestPicture p = DesktopPictures().front();
    QByteArray bytes = ToQt(p.file);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "pxc");
    reader.setScaledSize(QSize(45, 30));
    const QImage image = reader.read();
    EXPECT_EQ(image.size(), QSize(45, 30));
}

TEST(QtPlugin, RefusesFilesThatAreNoPictureOrTooLarge) {
    TempDir dir("desktop-qt");
    const Bytes good = DesktopPictures().front().file;
    const char text[] = "These lines are no picture of any kind.\n";
    Bytes too_large = HeaderBytes(8193, 8192); // one row more than the limit allows
    too_large.resize(too_large.size() + 64, 0);
    const struct {
        const char *what;
        Bytes file;
        const char *reason; // what the plugin logs, when it gets the file at all
    } cases[] = {
        {"text", Bytes(text, text + sizeof text - 1), ""},
        {"23 bytes", Bytes(good.begin(), good.begin() + 23), ""},
        {"0 x 300", HeaderBytes(0, 300), "the picture has no pixels"},
        {"8193 x 8192", too_large, "the picture is 8193 x 8192 pixels, more than the 67108864"},
        {"65535 x 65535", HeaderBytes(65535, 65535), "the picture is 65535 x 65535 pixels"},
    };
    // Qt's own allocation limit off: the plugin's limit must hold by itself.
    const int allocation_limit = QImageReader::allocationLimit();
    QImageReader::setAllocationLimit(0);
    for (const auto &c : cases) {
        const std::string path = dir.File(std::string(c.what) + ".pxc");
        WriteFileBytes(path, c.file);
        QImageReader reader(QString::fromStdString(path));
        EXPECT_EQ(reader.canRead(), HeaderAccepted(c.file)) << c.what;
        ExpectRefused(reader, c.reason, c.what);
    }
    QImageReader::setAllocationLimit(allocation_limit);
}

TEST(QtPlugin, CutAndDamagedFilesOpenAsTheLibraryDecodesThemOrFail) {
    int opened = 0, refused = 0, past_end = 0;
    uint32_t seed = 100;
    for (const TestPicture &p : DesktopPictures()) {
        std::vector<Bytes> files = DamagedCopies(p.file, seed++, 12);
        for (size_t keep : {size_t(25), p.file.size() / 2, p.file.size() - 1})
            files.emplace_back(p.file.begin(), p.file.begin() + static_cast<long>(keep));
        for (const Bytes &file : files) {
            const LibraryDecode lib = DecodeWithLibrary(file);
            QByteArray bytes = ToQt(file);
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::ReadOnly);
            QImageReader reader(&buffer, "pxc");
            if (ShouldOpen(lib)) {
                opened++;
                if (lib.bits_past_end != 0) past_end++;
                ExpectRead(reader, lib, p.name + " damaged");
            } else {
                refused++;
                const std::string reason = std::string("cannot read the picture: ") + pxcm_result_text(lib.result);
                ExpectRefused(reader, reason, p.name + " damaged or cut, " + std::to_string(file.size()) + " bytes");
            }
        }
    }
    EXPECT_GT(opened, 5);
    EXPECT_GT(past_end, 0) << "no cut file that relies on zero bits past its end was opened";
    EXPECT_GT(refused, 30);
    std::printf("damaged and cut copies: %d opened, %d refused\n", opened, refused);
}

// Without QT_PLUGIN_PATH the build tree's plugin is used, without
// QT_QPA_PLATFORM the offscreen platform (also when ctest lists the tests).
int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_PLUGIN_PATH")) qputenv("QT_PLUGIN_PATH", PXCM_QT_BUILD_PLUGINS);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(KeepMessage);
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
