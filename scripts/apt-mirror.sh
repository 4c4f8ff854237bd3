#!/usr/bin/env bash
# Prints the Debian archive this machine's apt configuration names for its own
# release (the URI apt fetches "bookworm" or "trixie" main from), so roots of
# other releases come from the same mirror; fails when it names none.
set -euo pipefail

codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
# apt's own reading of every sources file, one-line and deb822 alike.
uri=$(apt-get indextargets --format '$(REPO_URI) $(CODENAME) $(COMPONENT)' 2>/dev/null |
  awk -v c="$codename" '$2 == c && $3 == "main" { print $1; exit }')
if [ -z "$uri" ]; then
  # Lists never fetched: the configured URIs themselves, the security
  # archive left out.
  uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }' |
    grep -v security | head -n 1 || true)
fi
if [ -z "$uri" ]; then
  uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '$1 == "URIs:" { print $2 }' |
    grep -v security | head -n 1 || true)
fi
[ -n "$uri" ] || exit 1
echo "${uri%/}"
