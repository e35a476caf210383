#!/bin/sh
# Installs the pinned opencode host (npm package opencode-ai) into a cache folder, unless
# that version is there already. Usage: provision.sh CACHE
set -eu
cache=$1
version=1.18.33
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
have=$(node -e 'try{process.stdout.write(require(process.argv[1]).version)}catch(e){}' \
  "$cache/node_modules/opencode-ai/package.json")
if [ "$have" != "$version" ] || [ ! -x "$cache/node_modules/.bin/opencode" ]; then
  npm install --no-save --no-audit --no-fund --loglevel=error --prefix "$cache" "opencode-ai@$version"
fi
"$cache/node_modules/.bin/opencode" --version
# The host's skill tool needs ripgrep; without it the host tries to download one.
command -v rg >/dev/null || { echo "rg is not on PATH: install Debian's ripgrep" >&2; exit 1; }
