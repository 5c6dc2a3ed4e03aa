#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12, only where it is missing.
set -euo pipefail
# clang-19: the fuzz preset needs libFuzzer, and a clang whose concepts let libstdc++ 12 offer
# <expected> (clang 14 and 16 do not). chromium, firefox-esr: the end-to-end test in real browsers.
# socat: the relay benchmark compares the host with it; strace counts its mapping calls. wixl builds the Windows installer, and
# msitools' msiinfo lets its test read the package. osslsigncode signs the programs and packages of
# a build given a certificate, and checks the signed build's test. The system packages: dpkg-dev's
# dpkg-shlibdeps and file find the .deb's dependencies, rpm's rpmbuild makes the .rpm, lintian
# checks the .deb, and piuparts tries its install, purge and upgrade in a chroot it bootstraps
# (debootstrap comes with it) from the Debian mirror.
packages=(cmake g++ make googletest libgtest-dev libgmock-dev nlohmann-json3-dev
          g++-mingw-w64-x86-64-posix wine64 python3 clang-19 libclang-rt-19-dev chromium firefox-esr
          socat strace wixl msitools osslsigncode dpkg-dev file rpm lintian piuparts)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
