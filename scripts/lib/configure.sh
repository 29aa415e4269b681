# configure_preset PRESET: configures the preset's build folder, quietly. Compiles go
# through ccache where it is installed, so that work trees side by side and the builds of
# each preset share one compiler cache: paths are hashed relative to the source folder and
# the build folder's own path is left out. The price: the debug information of an object
# from the cache may name the work tree that compiled it first.
configure_preset() {
  local options=() source_folder
  source_folder=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  command -v ccache >/dev/null && options+=(
    "-DCMAKE_CXX_COMPILER_LAUNCHER=$(command -v cmake);-E;env;CCACHE_BASEDIR=$source_folder;CCACHE_NOHASHDIR=1;ccache")
  cmake --preset "$1" "${options[@]}" >/dev/null
}
