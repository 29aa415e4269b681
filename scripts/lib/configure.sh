# configure_preset PRESET: configures the preset's build folder, quietly. Compiles go
# through ccache where it is installed, so that work trees side by side and the builds of
# each preset share one compiler cache.
configure_preset() {
  local options=()
  command -v ccache >/dev/null && options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake --preset "$1" "${options[@]}" >/dev/null
}
