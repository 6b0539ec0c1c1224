# Installs the Debian packages the project needs (sourced by tools/run and tools/test).
# Only what is missing is installed; as a user this goes through sudo.

FWP_PACKAGES=(
    # building
    cmake ninja-build g++ pkg-config clang-format
    # the fuzz build (tools/fuzz): clang with libFuzzer and the sanitizers
    clang libclang-rt-dev
    # libraries
    zlib1g-dev libcurl4-openssl-dev libpugixml-dev libnatpmp-dev libcpp-httplib-dev libssl-dev libsqlite3-dev libhiredis-dev
    libmicrohttpd-dev libsodium-dev
    # the window: Qt 6 widgets and sound, and a Japanese font
    qt6-base-dev qt6-multimedia-dev fonts-noto-cjk
    # Qt's own dialogs in Japanese
    qt6-translations-l10n
    # tests and benchmarks
    libgtest-dev libbenchmark-dev xdg-user-dirs time socat openssh-server openssh-client redis-server wrk
    # the port mapping test: a real router daemon in network namespaces, and its clients
    miniupnpd-nftables nftables miniupnpc iproute2 procps
    # the relay test: a capture of what crosses the service in network namespaces
    tcpdump
    # screenshots of the window on a virtual display
    xvfb xauth xdotool imagemagick
    # the check of the installed AppStream metadata; a session bus for the notification test
    appstream dbus-daemon
)

fwp_install_packages() {
    local missing=()
    local package
    for package in "${FWP_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    echo "Installing: ${missing[*]}"
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        sudo="sudo"
    fi
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
    # Starting a system sshd or miniupnpd is not wanted: the benchmark and the port
    # mapping test run throwaway ones of their own.
    $sudo env DEBIAN_FRONTEND=noninteractive RUNLEVEL=1 apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Configures and builds in build/ with the options given.
fwp_build() {
    cmake -S "$FWP_ROOT" -B "$FWP_ROOT/build" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@"
    cmake --build "$FWP_ROOT/build"
}
