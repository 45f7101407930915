# Sourced by the scripts: installs the Debian packages the build needs, only those missing.

QN480_PACKAGES=(
    g++ cmake make pkgconf
    qt6-base-dev qt6-serialport-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    nlohmann-json3-dev
    fonts-dejavu-core fonts-dejavu-extra fonts-liberation2 desktop-file-utils
    clang libclang-rt-14-dev
)

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

qn480_install() {
    local missing=()
    local p
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    qn480_as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    qn480_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Configures a build folder once; later runs only build what changed.
qn480_configure() {
    local dir=$1
    shift
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S . -B "$dir" "$@"
    fi
}
