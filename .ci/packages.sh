# Debian packages of the build, the suite and the demo; sourced by ./run and ./test.
TEVRO_BUILD_PACKAGES="cmake ninja-build g++ qt6-base-dev libgl-dev libx11-dev libgtest-dev libgmock-dev"
TEVRO_TEST_PACKAGES="xvfb xauth xdotool xclip x11-utils imagemagick fonts-dejavu-core fonts-dejavu-extra fonts-liberation fonts-liberation2"
# The sanitizer and fuzz pass (./test --sanitize): clang and its runtimes, libFuzzer among them.
TEVRO_SANITIZE_PACKAGES="clang libclang-rt-dev"
TEVRO_RUN_PACKAGES="xvfb xauth x11-utils xdotool xclip imagemagick fonts-dejavu-extra fonts-dejavu-core fonts-liberation fonts-liberation2"

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
