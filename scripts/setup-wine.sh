#!/bin/bash
# Makes this Debian machine able to run the Windows builds' tests: 64-bit and
# 32-bit Wine, their prefixes, and (where the kernel cannot execute 32-bit
# x86 code itself) qemu-user registered with binfmt_misc. Run as root; every
# step is skipped when already done, so running it again is cheap.
#
#   scripts/setup-wine.sh          # everything
#   scripts/setup-wine.sh --no-32  # 64-bit Wine only
#   scripts/setup-wine.sh --qemu   # 32-bit programs through qemu-user even
#                                  # where the kernel could run them itself
#
# Prefixes: /root/.wine-pxcm64 (win64) and /root/.wine-pxcm32 (win32),
# the defaults of cmake/wine-run.sh.
#
# 32-bit programs run natively where the kernel can (CONFIG_IA32_EMULATION,
# not switched off at boot); an i386 binfmt entry would take over from the
# kernel, so the script switches such entries off then. Elsewhere qemu-user
# runs them through binfmt_misc. Why a newer qemu: the 32-bit Wine loader
# reserves its address ranges with mmap(MAP_FIXED_NOREPLACE). qemu-user 7.2 (Debian 12) treats that flag as a
# mere hint and maps elsewhere, and Wine then fails at start-up with "failed
# to map the shared user data: c0000018". qemu-user 10 (bookworm-backports)
# honours the flag; with it a 32-bit prefix is created in about a minute.
set -euo pipefail

PREFIX64=/root/.wine-pxcm64
PREFIX32=/root/.wine-pxcm32
MIN_QEMU_MAJOR=10
BINFMT=/proc/sys/fs/binfmt_misc
QEMU_LINE=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F'

want32=1
force_qemu=0
for arg in "$@"; do
    case $arg in
    --no-32) want32=0 ;;
    --qemu) force_qemu=1 ;;
    *)
        echo "usage: scripts/setup-wine.sh [--no-32] [--qemu]" >&2
        exit 2
        ;;
    esac
done

log() { echo "setup-wine: $*"; }

if [ "$(id -u)" != 0 ]; then
    echo "setup-wine: must run as root" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive

installed() { # package...: true when every one is installed
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || return 1
    done
}

updated=0
apt_update() {
    if [ $updated = 0 ]; then
        # A mirror in the middle of a sync fails the update for a minute or
        # two (index files of an unexpected size): try again, then go on
        # with the lists apt has; the install says whether they were enough.
        local attempt
        for attempt in 1 2 3; do
            apt-get update -qq && break
            if [ $attempt = 3 ]; then
                log "apt-get update failed; going on with the package lists at hand"
                break
            fi
            log "apt-get update failed; trying again in $((attempt * 15)) s"
            sleep $((attempt * 15))
        done
        updated=1
    fi
}

# --- Wine --------------------------------------------------------------------
packages=(wine wine64)
if [ $want32 = 1 ]; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        log "adding the i386 architecture"
        dpkg --add-architecture i386
        updated=0
    fi
    packages+=(wine32:i386)
fi
if ! installed "${packages[@]}"; then
    log "installing ${packages[*]}"
    apt_update
    apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
fi

# --- 64-bit prefix -----------------------------------------------------------
make_prefix() { # prefix arch loader
    local prefix=$1 arch=$2 loader=$3 start
    if [ -f "$prefix/system.reg" ]; then
        log "prefix $prefix exists"
        return 0
    fi
    log "creating prefix $prefix ($arch)"
    start=$(date +%s)
    # No .NET or HTML engine: the tests need neither, and asking for them
    # only slows the first start.
    WINEDLLOVERRIDES="mscoree=;mshtml=" WINEDEBUG=-all WINEARCH=$arch WINEPREFIX=$prefix \
        "$loader" wineboot -i >/dev/null 2>&1 || true
    WINEPREFIX=$prefix /usr/lib/wine/wineserver -w || true
    if [ ! -f "$prefix/system.reg" ]; then
        echo "setup-wine: could not create $prefix; run" >&2
        echo "  WINEARCH=$arch WINEPREFIX=$prefix $loader wineboot -i" >&2
        echo "with WINEDEBUG unset to see why" >&2
        return 1
    fi
    log "prefix $prefix created in $(($(date +%s) - start)) s"
}
make_prefix $PREFIX64 win64 /usr/lib/wine/wine64

[ $want32 = 1 ] || exit 0

# --- 32-bit execution ----------------------------------------------------------
I386_MAGIC='^magic 7f454c4601010100000000000000000002000300'
i386_entries() { # binfmt_misc entries that claim 32-bit x86 programs
    local entry
    [ -e "$BINFMT/register" ] || return 0
    for entry in "$BINFMT"/*; do
        [ -f "$entry" ] && grep -q "$I386_MAGIC" "$entry" 2>/dev/null && echo "$entry"
    done
    return 0
}
# Which qemu (if any) runs 32-bit programs now: qemu-user reports its version
# when QEMU_VERSION is set; a kernel that runs them itself just runs Wine.
# Nothing where they do not run at all: Wine's failure then is the answer,
# not a reason to stop (pipefail would stop the script at the assignment).
qemu_in_use() {
    { QEMU_VERSION=1 /usr/lib/wine/wine --version 2>/dev/null || true; } |
        sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p' | head -1
}
# Does the kernel run 32-bit x86 programs itself? Asked with every i386
# binfmt entry switched off for a moment, then put back as it was.
native_32bit() {
    local entry rc on=()
    for entry in $(i386_entries); do
        if head -1 "$entry" | grep -qx enabled; then
            on+=("$entry")
            echo 0 >"$entry"
        fi
    done
    /usr/lib/wine/wine --version >/dev/null 2>&1
    rc=$?
    for entry in "${on[@]}"; do echo 1 >"$entry"; done
    return $rc
}

if [ $force_qemu = 0 ] && native_32bit; then
    # An emulator registered for i386 would take over from the kernel and
    # only slow 32-bit Wine down (or, with qemu-user 7.2, break it).
    for entry in $(i386_entries); do
        if head -1 "$entry" | grep -qx enabled; then
            log "switching off the binfmt entry $(basename "$entry"): the kernel runs 32-bit programs itself"
            echo 0 >"$entry"
        fi
    done
    log "32-bit programs run natively"
else
    # qemu-user, recent enough for Wine.
    have=$( (qemu-i386-static --version 2>/dev/null || true) | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p')
    if [ -z "$have" ] || [ "$have" -lt $MIN_QEMU_MAJOR ]; then
        codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
        if [ "$codename" = bookworm ]; then
            src=/etc/apt/sources.list.d/pxcm-bookworm-backports.sources
            if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
                log "adding bookworm-backports (for qemu-user $MIN_QEMU_MAJOR)"
                printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' \
                    'Suites: bookworm-backports' 'Components: main' \
                    'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' >"$src"
                updated=0
            fi
            apt_update
            log "installing qemu-user-static from bookworm-backports"
            apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user-static >/dev/null
        else
            apt_update
            log "installing qemu-user-static"
            apt-get install -y -qq --no-install-recommends qemu-user-static >/dev/null
        fi
        have=$(qemu-i386-static --version | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p')
        if [ "$have" -lt $MIN_QEMU_MAJOR ]; then
            echo "setup-wine: qemu-i386 $have is too old for 32-bit Wine (need $MIN_QEMU_MAJOR)" >&2
            exit 1
        fi
    fi

    if [ ! -e "$BINFMT/register" ]; then
        log "mounting binfmt_misc"
        mount -t binfmt_misc binfmt_misc "$BINFMT"
    fi
    # A registration with flag F holds the interpreter file it was made
    # with: after a qemu upgrade the old one stays in use until it is made
    # again. Drop every i386 entry unless a recent qemu runs through it.
    used=$(qemu_in_use)
    if [ -z "$used" ] || [ "$used" -lt $MIN_QEMU_MAJOR ]; then
        for entry in $(i386_entries); do
            log "removing the binfmt entry $(basename "$entry")"
            echo -1 >"$entry"
        done
        log "registering qemu-i386 with binfmt_misc"
        printf '%s' "$QEMU_LINE" >"$BINFMT/register"
        used=$(qemu_in_use)
    fi
    if [ -z "$used" ] || [ "$used" -lt $MIN_QEMU_MAJOR ]; then
        echo "setup-wine: 32-bit programs do not run through qemu-i386 $MIN_QEMU_MAJOR" >&2
        exit 1
    fi
    log "32-bit programs run through qemu-i386 $used"
fi

make_prefix $PREFIX32 win32 /usr/lib/wine/wine
