# Shared helpers for the scripts in this folder (sourced, not run).

# Installs the Debian packages given that are not installed yet (apt-get update once). Names
# may carry an architecture ("wine32:i386"). Both apt-get steps are bounded in time.
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
    timeout 900 $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
    timeout 1800 $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
}

# Adds Debian's i386 architecture (multiarch), so that 32-bit packages such as wine32:i386 can be
# installed; their package lists come with the next apt-get update of vexlor_install_packages.
vexlor_add_i386() {
    dpkg --print-foreign-architectures | grep -qx i386 && return 0
    echo "== adding the i386 architecture"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    timeout 60 $sudo dpkg --add-architecture i386
}

# Packages every build needs.
VEXLOR_BASE_PACKAGES=(cmake ninja-build g++ make libgtest-dev libgmock-dev libbenchmark-dev python3 locales)

# Packages the Python package's tests and wheel need: Debian's own, as no other registry is used.
VEXLOR_PYTHON_PACKAGES=(python3-pytest python3-build python3-setuptools python3-wheel python3-venv python3-pip mypy)

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
