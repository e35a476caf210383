#!/bin/sh
# Installs what the browser checks need, only where it is missing: headless Chromium
# and Java 17 from Debian, the Nu HTML checker (npm package vnu-jar) into a cache folder.
# Safe to run again and from parallel test runs.
#   provision.sh [CACHE_DIR]     (default: $HOME/.cache/q9infra-browser)
set -eu

VNU_VERSION=26.9.27
cache=${1:-${HOME:-/tmp}/.cache/q9infra-browser}
mkdir -p "$cache"

say() { printf 'provision: %s\n' "$*"; }
have() { command -v "$1" >/dev/null 2>&1; }

apt_install() {
  if [ "$(id -u)" != 0 ]; then
    say "missing Debian package(s) $*; install them as root (apt-get install $*)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  # A fresh machine has no package lists yet; read them only when the install needs them.
  if ! apt-get install -y -q -o DPkg::Lock::Timeout=300 --no-install-recommends "$@" >"$cache/apt.log" 2>&1; then
    apt-get update -q -o DPkg::Lock::Timeout=300 >>"$cache/apt.log" 2>&1
    apt-get install -y -q -o DPkg::Lock::Timeout=300 --no-install-recommends "$@" >>"$cache/apt.log" 2>&1 || {
      tail -n 20 "$cache/apt.log" >&2
      say "apt-get install $* failed" >&2
      exit 1
    }
  fi
  say "installed $*"
}

# One provisioning at a time per cache folder.
exec 9>"$cache/.lock"
if have flock; then flock -w 900 9; fi

if [ -n "${Q9_CHROMIUM:-}" ]; then
  browser=$Q9_CHROMIUM
elif have chromium-headless-shell; then
  browser=$(command -v chromium-headless-shell)
elif have chromium; then
  browser=$(command -v chromium)
else
  apt_install chromium-headless-shell fonts-liberation
  browser=$(command -v chromium-headless-shell)
fi
# Text in the screenshots needs at least one font family; Debian's browser only recommends one.
if ! dpkg-query -W -f='${Status}' fonts-liberation 2>/dev/null | grep -q 'install ok installed' \
    && [ -z "$(fc-list 2>/dev/null | head -n 1)" ]; then
  apt_install fonts-liberation
fi
say "browser: $browser ($("$browser" --no-sandbox --version 2>/dev/null | head -n 1))"

java_major() { java -version 2>&1 | sed -n 's/.*version "\([0-9]*\).*/\1/p' | head -n 1; }
if ! have java || [ "$(java_major)" -lt 17 ] 2>/dev/null || [ -z "$(java_major)" ]; then
  apt_install openjdk-17-jre-headless
fi
say "java: $(java -version 2>&1 | head -n 1)"

jar="$cache/node_modules/vnu-jar/build/dist/vnu.jar"
if [ ! -f "$jar" ] || ! grep -q "\"version\": \"$VNU_VERSION\"" "$cache/node_modules/vnu-jar/package.json" 2>/dev/null; then
  if ! have npm; then
    apt_install nodejs npm
  fi
  # --ignore-scripts: the package's install hook would fetch a Java runtime; the
  # installed Java is used instead.
  (cd "$cache" && npm install --no-audit --no-fund --no-save --ignore-scripts --prefix "$cache" \
      "vnu-jar@$VNU_VERSION" >"$cache/npm.log" 2>&1) || {
    tail -n 20 "$cache/npm.log" >&2
    say "npm install vnu-jar@$VNU_VERSION failed" >&2
    exit 1
  }
fi
say "Nu checker: $jar ($(java -jar "$jar" --version 2>&1 | head -n 1))"
