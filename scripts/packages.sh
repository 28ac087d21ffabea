# Installs the Debian packages that a build needs, when any is missing.
# Usage (sourced): ensure_packages native|all

native_packages=(cmake make g++ python3 libgtest-dev zlib1g-dev dpkg-dev file systemd strace e2fsprogs btrfs-progs util-linux acl attr libcap2-bin lintian groff-base
  debootstrap systemd-container
  ansible-core yamllint pylint pycodestyle python3-voluptuous)
windows_packages=(googletest g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64)
lint_packages=(clang-format clang-tidy)
# The fuzz targets: clang with libFuzzer, and a JSON reader to check list --json's output.
fuzz_packages=(clang libclang-rt-14-dev nlohmann-json3-dev)

ensure_packages() {
  local wanted=("${native_packages[@]}")
  if [ "$1" = all ]; then wanted+=("${windows_packages[@]}" "${lint_packages[@]}" "${fuzz_packages[@]}"); fi
  local missing=() package
  for package in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  # Through sudo the setting must travel as an argument: sudo drops the environment.
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}
