# Sourced: debian_mirror prints the first Debian archive URI named by the machine's own apt
# configuration, so that no host name is written into any file of ours.
debian_mirror() {
  local uri=""
  if compgen -G '/etc/apt/sources.list.d/*.sources' >/dev/null; then
    uri=$(awk '/^URIs:/ {for (i = 2; i <= NF; i++) print $i}' /etc/apt/sources.list.d/*.sources \
          | grep -v -e security -e '^$' | grep '/debian/\?$' | head -n 1)
  fi
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; break}}' \
          /etc/apt/sources.list | grep -v security | head -n 1)
  fi
  [ -n "$uri" ] || { echo "no Debian archive found in the apt configuration" >&2; return 1; }
  echo "$uri"
}
