# Icecast2 on 127.0.0.1 for the stream tests. Sourced by scripts/rig; uses
# $dir and wait_for from there. Exports the address and the passwords:
#   ORVWEB_ICECAST_HOST, ORVWEB_ICECAST_PORT, ORVWEB_ICECAST_SOURCE_PASSWORD,
#   ORVWEB_ICECAST_ADMIN_USER, ORVWEB_ICECAST_ADMIN_PASSWORD
# A source: ffmpeg ... -f mp3 icecast://source:PW@HOST:PORT/radio.mp3
# A new title: GET /admin/metadata?mount=/radio.mp3&mode=updinfo&song=...

# Icecast cannot pick a port of its own: the rig probes for one from a
# random start, so that rigs started together seldom meet on one port.
icecast_free_port() {
  local port first=$((18000 + RANDOM % 100)) i
  for i in $(seq 0 99); do
    port=$((18000 + (first - 18000 + i) % 100))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

# Our own server answers with our location; another rig's server on a port
# that was taken since the probe does not.
icecast_answers() {
  [[ "$(curl -sf "http://127.0.0.1:$1/status-json.xsl")" == *"\"location\":\"$2\""* ]]
}

icecast_answers_or_died() {
  icecast_answers "$1" "$2" || ! kill -0 "$(cat "$dir/icecast.pid")" 2>/dev/null
}

icecast_password() { head -c 18 /dev/urandom | base64 | tr -dc 'A-Za-z0-9' | head -c 16; }

rig_start_icecast() {
  command -v icecast2 >/dev/null || return 0
  local port source_pw admin_pw owner="" location
  port=$(icecast_free_port) || { echo "rig: no free port for Icecast" >&2; return 1; }
  location="rig-$(icecast_password)"
  source_pw=$(icecast_password)
  admin_pw=$(icecast_password)
  # Icecast refuses to run as root; it drops to its own user instead.
  if [ "$(id -u)" -eq 0 ]; then
    owner="<security><chroot>0</chroot><changeowner><user>icecast2</user><group>icecast</group></changeowner></security>"
  fi
  # Logs go to the inherited stderr ("-"), so the server needs no folder
  # that its own user can write to.
  cat >"$dir/icecast.xml" <<XML
<icecast>
  <location>$location</location>
  <admin>rig@localhost</admin>
  <limits>
    <clients>20</clients>
    <sources>4</sources>
    <queue-size>524288</queue-size>
    <client-timeout>30</client-timeout>
    <header-timeout>15</header-timeout>
    <source-timeout>10</source-timeout>
    <burst-on-connect>1</burst-on-connect>
    <burst-size>65535</burst-size>
  </limits>
  <authentication>
    <source-password>$source_pw</source-password>
    <relay-password>$source_pw</relay-password>
    <admin-user>admin</admin-user>
    <admin-password>$admin_pw</admin-password>
  </authentication>
  <hostname>127.0.0.1</hostname>
  <listen-socket>
    <port>$port</port>
    <bind-address>127.0.0.1</bind-address>
  </listen-socket>
  <fileserve>1</fileserve>
  <!-- A title can only change between metadata blocks: every 1600 bytes
       (0.1 s at 128 kbit/s) instead of 16000, so titles follow the audio. -->
  <mount type="default">
    <mp3-metadata-interval>1600</mp3-metadata-interval>
  </mount>
  <paths>
    <basedir>/usr/share/icecast2</basedir>
    <logdir>/tmp</logdir>
    <webroot>/usr/share/icecast2/web</webroot>
    <adminroot>/usr/share/icecast2/admin</adminroot>
    <alias source="/" destination="/status.xsl"/>
  </paths>
  <logging>
    <accesslog>-</accesslog>
    <errorlog>-</errorlog>
    <loglevel>3</loglevel>
  </logging>
  $owner
</icecast>
XML
  # Icecast 2.4 now and then crashes while it starts, and the port can be
  # taken after the probe: another try (on a port probed again) does it.
  local try started=""
  for try in 1 2 3; do
    sed -i "s|<port>[0-9]*</port>|<port>$port</port>|" "$dir/icecast.xml"
    icecast2 -c "$dir/icecast.xml" </dev/null >"$dir/icecast.log" 2>&1 &
    echo $! >"$dir/icecast.pid"
    if ! wait_for 15 icecast_answers_or_died "$port" "$location"; then break; fi
    if icecast_answers "$port" "$location"; then started=1; break; fi
    rm -f "$dir/icecast.pid"
    port=$(icecast_free_port) || break
  done
  if [ -z "$started" ]; then
    echo "rig: Icecast did not start (see $dir/icecast.log)" >&2
    return 1
  fi
  echo "export ORVWEB_ICECAST_HOST=127.0.0.1"
  echo "export ORVWEB_ICECAST_PORT=$port"
  echo "export ORVWEB_ICECAST_SOURCE_PASSWORD=$source_pw"
  echo "export ORVWEB_ICECAST_ADMIN_USER=admin"
  echo "export ORVWEB_ICECAST_ADMIN_PASSWORD=$admin_pw"
}

rig_stop_icecast() {
  local file="$dir/icecast.pid"
  [ -f "$file" ] || return 0
  local pid
  pid=$(head -n1 "$file")
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  rm -f "$file"
}
