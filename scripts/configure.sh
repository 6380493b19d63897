# shellcheck shell=bash
# Sourced by the scripts that build (build.sh, bench.sh, fuzz.sh), not run. From the
# checkout's root:
#   configure DIR [cmake arguments]
# configures the checkout into DIR, through ccache when it is installed and,
# for a new DIR, with Ninja when it is installed. The ccache settings stay
# exported for the build that follows.
configure() {
  local dir=$1
  shift
  local launcher=() generator=()
  if command -v ccache >/dev/null; then
    # Paths relative to the checkout, so that repeated builds (and other clones of it) hit the cache.
    export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=true
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  fi
  if [ ! -f "$dir/CMakeCache.txt" ] && command -v ninja >/dev/null; then generator=(-G Ninja); fi
  cmake -S . -B "$dir" "${generator[@]}" "${launcher[@]}" "$@"
}
