# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the scripts: installs the Debian packages a script needs, only those missing,
# and says what each step does.

# To build and run the programs and their tests.
QN480_PACKAGES=(
    g++ cmake make pkgconf
    qt6-base-dev qt6-serialport-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    nlohmann-json3-dev libxlsxwriter-dev
    libmosquitto-dev libssl-dev
    fonts-dejavu-core fonts-dejavu-extra fonts-liberation2 desktop-file-utils
)

# To build the Debian package: CPack finds the programs' libraries with dpkg-shlibdeps
# (dpkg-dev) and tells programs from other files with file.
QN480_PACKAGE_TOOLS=(dpkg-dev file)

# To check the package as the tests do.
QN480_CHECK_TOOLS=(lintian appstream)

# The broker the station's tests publish to, and unzip, which reads the spreadsheet export
# back; the package itself never needs them.
QN480_TEST_TOOLS=(mosquitto unzip)

# qn480ctl.exe: cross-built for Windows (scripts/package, scripts/test), and run under Wine
# against the simulator (scripts/test).
QN480_WINDOWS_TOOLS=(g++-mingw-w64-x86-64-posix)
QN480_WINE_TOOLS=(wine wine64)

# Fuzzing only (scripts/fuzz): clang with libFuzzer and its sanitizer run-times, about
# 230 MB that nothing else needs.
QN480_FUZZ_TOOLS=(clang libclang-rt-14-dev)

# One line per step of a script.
qn480_step() {
    echo "==> $*"
}

qn480_as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo "$@"
    else
        echo "Need root to install packages: run this as root or install sudo." >&2
        return 1
    fi
}

# apt-get with its own progress: the progress bars on a terminal; in a log (CI), one line
# per download and per package instead of bars redrawn many times a second.
qn480_apt_get() {
    local output=(-o Dpkg::Progress-Fancy=1)
    if [ ! -t 1 ]; then
        output=(-q -o Dpkg::Use-Pty=0)
    fi
    qn480_as_root env DEBIAN_FRONTEND=noninteractive apt-get "${output[@]}" "$@"
}

qn480_install() {
    local missing=()
    local p
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$p")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        qn480_step "Debian packages: all $# present"
        return 0
    fi
    qn480_step "Debian packages: updating the package lists to install ${#missing[@]} missing: ${missing[*]}"
    qn480_apt_get update
    qn480_step "Debian packages: installing ${missing[*]}"
    qn480_apt_get install -y --no-install-recommends "${missing[@]}"
}

# Configures a build folder once; later runs only build what changed.
qn480_configure() {
    local dir=$1
    shift
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        qn480_step "Configuring $dir/"
        cmake -S . -B "$dir" "$@"
    fi
}
