# Debian packages, one list per purpose; sourced by ./run and ./test.
# Building the console and the simulator.
TEVRO_BUILD_PACKAGES="cmake ninja-build g++ qt6-base-dev libgl-dev libudev-dev pkg-config"
# The X tooling (the end-to-end tests and the demo): its headers, a virtual display, the tools
# that click, copy and take screenshots, the fonts the window is laid out for, and the session
# bus with the accessibility bus the end-to-end tests read the status panels through.
TEVRO_X_PACKAGES="libx11-dev xvfb xauth x11-utils xdotool xclip imagemagick fonts-dejavu-core fonts-dejavu-extra fonts-liberation fonts-liberation2 dbus-daemon at-spi2-core libglib2.0-bin"
# The tests alone; ppp brings chat(8), the oracle of the chat script player, and lrzsz the
# reference XMODEM/YMODEM receiver and sender of the transfer tests.
TEVRO_TEST_PACKAGES="libgtest-dev libgmock-dev ppp lrzsz"
# The Debian package and its checks (tests/packaging): cpack's dependency list needs
# dpkg-shlibdeps, then lintian, the AppStream validator and the desktop-entry validator.
TEVRO_PACKAGE_PACKAGES="dpkg-dev lintian appstream desktop-file-utils man-db"
# The Wayland end-to-end test (label wayland, run by .ci/run): a compositor with a headless
# back-end and the toolkit's Wayland platform.
TEVRO_WAYLAND_PACKAGES="weston qt6-wayland"
# The checker and fuzz pass (./test --sanitize): clang and its runtimes, libFuzzer among them.
TEVRO_SANITIZE_PACKAGES="clang libclang-rt-dev"
# The real-driver tests: an emulator, the kernel the guest boots (with its modules) and a
# static shell for its initramfs (tools/vm/tevro-vm).
TEVRO_VM_PACKAGES="qemu-system-x86 linux-image-amd64 busybox-static cpio kmod"

# Installs each named package that is not installed yet.
ensure_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}
