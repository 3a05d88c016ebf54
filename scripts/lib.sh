# Shared helpers for the scripts in this folder (sourced, not run).

# Installs the Debian packages given that are not installed yet (apt-get update once).
vexlor_install_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Packages every build needs.
VEXLOR_BASE_PACKAGES=(cmake ninja-build g++ make libgtest-dev libgmock-dev libbenchmark-dev python3 locales)

# The locale tests run the driver under a German decimal comma; generate that locale if missing.
vexlor_german_locale() {
    locale -a 2>/dev/null | grep -qi '^de_DE.utf8$' && return 0
    localedef -i de_DE -f UTF-8 de_DE.UTF-8 2>/dev/null || echo "== note: could not generate de_DE.UTF-8; locale tests fall back to the C locale"
}

# Configures and builds a tree: vexlor_build DIR [extra cmake arguments...]
vexlor_build() {
    local dir="$1"
    shift
    cmake -S "$VEXLOR_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}
