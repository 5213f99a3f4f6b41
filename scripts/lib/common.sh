# Shared by scripts/demo and scripts/test: package installation and incremental builds.
# Sourced, not run.

VELMORA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"

# Debian packages the build, the tests and the sanitizer/fuzz build need.
VELMORA_PACKAGES=(
    cmake ninja-build g++ pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev
)

log() { printf '%s\n' "== $*" >&2; }

# Installs whichever of the given packages are missing; silent when all are present.
ensure_packages() {
    local missing=()
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "error: missing packages (${missing[*]}) and no sudo to install them" >&2
            return 1
        fi
        sudo=(sudo)
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq >/dev/null || { echo "error: apt-get update failed" >&2; return 1; }
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
        { echo "error: apt-get install ${missing[*]} failed" >&2; return 1; }
}

# configure_and_build <build dir> [cmake options...]: configures once, then builds incrementally.
configure_and_build() {
    local dir="$1"
    shift
    if [ ! -f "$VELMORA_ROOT/$dir/build.ninja" ]; then
        log "configuring $dir"
        cmake -S "$VELMORA_ROOT" -B "$VELMORA_ROOT/$dir" -G Ninja "$@" >/dev/null || return 1
    fi
    log "building $dir"
    # Progress lines are noise here; warnings and errors are not.
    cmake --build "$VELMORA_ROOT/$dir" -- -j"$(nproc)" 2>&1 | grep -vE '^\[[0-9]+/[0-9]+\] '
    return "${PIPESTATUS[0]}"
}
