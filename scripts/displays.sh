# Sourced by the scripts that start X servers and the proxy.
#
# free_display N: the first display number from N on that nobody uses: no
# lock file, no socket file, no abstract socket (a server in another file
# system can hold it, and clients try it first) and no listening TCP port.
free_display() {
  local n=$1
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] ||
    grep -q "@/tmp/.X11-unix/X$n\$" /proc/net/unix 2>/dev/null || tcp_listening $((6000 + n)); do
    n=$((n + 1))
  done
  echo "$n"
}

# tcp_listening PORT: whether a socket listens on the port (IPv4 or IPv6).
tcp_listening() {
  local hex
  hex=$(printf '%04X' "$1")
  grep -qE "^ *[0-9]+: [0-9A-F]+:$hex [0-9A-F]+:[0-9A-F]+ 0A " /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

# claim_display N: like free_display, but the number is also claimed with
# the lock file X servers use (created only when absent, holding this shell's
# pid), so that two scripts started at once never pick the same number. A
# server started on it must be told -nolock; remove /tmp/.X<n>-lock when done.
claim_display() {
  local n=$1
  while :; do
    n=$(free_display "$n")
    if (set -o noclobber; printf '%10d\n' $$ >"/tmp/.X$n-lock") 2>/dev/null; then
      chmod 444 "/tmp/.X$n-lock"
      # Someone may have taken the number between the look and the lock.
      if [ ! -e "/tmp/.X11-unix/X$n" ] && ! tcp_listening $((6000 + n)) &&
        ! grep -q "@/tmp/.X11-unix/X$n\$" /proc/net/unix 2>/dev/null; then
        echo "$n"
        return
      fi
      rm -f "/tmp/.X$n-lock"
    fi
    n=$((n + 1))
  done
}
