#!/usr/bin/env bash
# Installs the Debian packages Corvane needs to build, test and benchmark.
# Idempotent: installs only what is missing, and runs `apt-get update` at most once.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  clang libclang-rt-14-dev       # test.sh: the lock contracts (-Wthread-safety), the sanitizers' build and libFuzzer
  lld                            # links the test programs quickly
  libgtest-dev libgmock-dev      # unit and end-to-end tests
  libbenchmark-dev               # bench/
  libtinyxml-dev                 # config.db and download_list.db
  libcurl4-openssl-dev           # HTTP: size probe and request layer
  libtorrent-rasterbar-dev       # libtorrix: peers, web seeds and piece hashes of magnet downloads
  python3                        # run.sh demo: the HTTP server it downloads from
  nginx-light                    # end-to-end tests and benchmarks: a real HTTP server on loopback
  libproxy-dev libproxy1-plugin-webkit  # automatic proxy configurations (WPAD, PAC scripts)
  squid openssl                  # proxy tests: a real authenticating proxy on loopback; openssl makes the TLS tests' certificates
  tmux                           # end-to-end test of corvane's progress display on a real terminal
  aria2 curl wget2 axel          # benchmarks: what a user would otherwise download with
  help2man                       # the man pages, made from the programs' own --help and --version
  dpkg-dev file                  # scripts/package-deb.sh: cpack's DEB generator (dpkg-shlibdeps for Depends)
  man-db                         # scripts/check-deb.sh: reads the packaged man pages
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
