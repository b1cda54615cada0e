# shellcheck shell=bash
# shellcheck disable=SC2034  # the package lists are for the scripts that source this file
# Installation of the Debian 12 packages the project's scripts need.
#
# Source this file, then call ensure_packages with package names. Packages
# already installed are left alone; the missing ones are installed with
# apt-get when running as root, otherwise the exact command to run is printed
# and the function fails.

# What building and testing on Linux needs.
MIRANDEL_BASE_PACKAGES=(cmake g++ make libgtest-dev libp11-kit-dev libssl-dev softhsm2 opensc
  p11-kit p11-kit-modules openssl python3-jsonschema nss-plugin-pem valgrind)
# What the end-to-end module matrix (tests/e2e/module_*.sh) needs: the
# modules, their daemons and set-up tools, and the independent tools that
# check them (pkcs11-tool, p11tool, trust).
MIRANDEL_MATRIX_PACKAGES=(util-linux ca-certificates gnutls-bin libnss3
  opensc-pkcs11 ykcs11 pcscd opencryptoki swtpm tpm2-tools tpm2-abrmd libtss2-tcti-tabrmd0
  libtss2-tcti-swtpm0 libtpm2-pkcs11-1 libtpm2-pkcs11-tools dbus-daemon
  vsmartcard-vpcd libcacard0 libcacard-dev libnss3-tools pkgconf iproute2)
# What scripts/bench.sh needs besides the base packages.
MIRANDEL_BENCH_PACKAGES=(python3 gcc)
# What the fuzzing run needs (libFuzzer comes with clang's runtime).
MIRANDEL_FUZZ_PACKAGES=(clang-19 libclang-rt-19-dev)
# What the Windows cross builds (x64 and x86) and their runs under Wine need
# (the binutils come along with the compilers; openssl makes the unit tests'
# signature vectors on the build machine). wine32 runs the x86 build: it is an
# i386 package, which ensure_packages enables the architecture for.
MIRANDEL_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64
  wine32:i386 icoutils openssl)
# What making the packages, checking them and running the documentation's
# checks and the calling examples need.
MIRANDEL_PACKAGING_PACKAGES=(cmake g++ make dpkg-dev file lintian groff python3
  python3-jsonschema mono-mcs mono-runtime libmono-system-runtime-serialization4.0-cil
  nodejs)

# Set once apt-get update has run in this shell, so it runs at most once.
_MIRANDEL_APT_UPDATED=${_MIRANDEL_APT_UPDATED:-}

# Prints the names among "$@" that are not installed, one per line.
missing_packages() {
  local package status
  for package in "$@"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    if [[ $status != installed ]]; then
      printf '%s\n' "$package"
    fi
  done
}

# Installs whichever of "$@" are missing. Returns non-zero when they could not
# be installed (not root, or apt-get failed).
ensure_packages() {
  local -a missing
  mapfile -t missing < <(missing_packages "$@")
  if ((${#missing[@]} == 0)); then
    return 0
  fi
  if ((EUID != 0)); then
    echo "Missing packages. Install them with:" >&2
    echo "sudo apt-get install -y ${missing[*]}" >&2
    return 1
  fi
  echo "Installing: ${missing[*]}" >&2
  # A package of another architecture (wine32:i386) needs that architecture
  # enabled, and the package lists read again after it.
  local package architecture
  for package in "${missing[@]}"; do
    architecture=${package#*:}
    if [[ $package == *:* && $architecture != "$(dpkg --print-architecture)" ]] &&
      ! dpkg --print-foreign-architectures | grep -qx "$architecture"; then
      dpkg --add-architecture "$architecture" || return 1
      _MIRANDEL_APT_UPDATED=
    fi
  done
  if [[ -z $_MIRANDEL_APT_UPDATED ]]; then
    DEBIAN_FRONTEND=noninteractive apt-get update </dev/null || return 1
    _MIRANDEL_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" \
    </dev/null || return 1
}
