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
