# Sourced by the set-up scripts: installs the Debian packages that are missing.
# install_missing PACKAGE... runs apt-get (update, then install) only when
# at least one of the packages is not installed yet.
install_missing() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# What building and playing needs (FFmpeg's libraries: komu encode reads video).
BUILD_PACKAGES=(g++ make cmake pkg-config libsdl2-dev libsdl2-ttf-dev libfontconfig-dev libx11-dev
                fonts-dejavu-core libpng-dev libavformat-dev libavcodec-dev libswscale-dev
                libavutil-dev)
# What the whole test suite needs besides: GoogleTest, Google Benchmark (the
# benchmarks are built, not run), the real-window test's X server, tools and
# window manager, ffmpeg for real content, the 32-bit compiler, clang for the
# fuzzers and the target build, the i386 emulator that runs the target build,
# and the desktop tools that check what is installed and the package.
TEST_PACKAGES=(libgtest-dev libbenchmark-dev xvfb xauth xdotool x11-utils openbox imagemagick python3
               ffmpeg g++-multilib clang libclang-rt-14-dev qemu-user desktop-file-utils
               shared-mime-info xdg-utils libglib2.0-bin libxml2-utils man-db dpkg-dev)
