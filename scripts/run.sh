#!/usr/bin/env bash
# Sets everything up, builds the bundle, and starts Tessaway as a user would: the first time it
# installs both agents (under systemd's user manager where one runs, else the bundle's own
# supervisors), starts the server and opens the setup page; later runs refresh the agents and
# make sure the server runs. Ends with the status report.
# Safe to run again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
app=${TESSAWAY_BUILD_DIR:-$root/build}/Tessaway.app
tray=$app/Contents/MacOS/tessaway-tray
definition=$HOME/Library/LaunchAgents/com.quorvel.tessaway-server.plist

if [ -e "$definition" ]; then
    "$tray" --install-agents
    "$tray" --ctl resume || true
else
    echo "First run: installing the agents, starting the server, opening the setup page..."
    "$tray"
fi

# The service manager starts the server in the background; give it a moment to answer.
for _ in $(seq 1 40); do
    "$tray" --ctl status | grep -q 'Tessaway Server: Running' && break
    sleep 0.5
done
"$tray" --ctl status
port=$("$tray" --ctl status | sed -n 's/.*port: \([0-9]*\)$/\1/p')
echo
echo "Setup page:  http://localhost:$port/setup"
echo "Server log:  $HOME/Library/Logs/Tessaway/server.log"
echo "Control:     $tray --ctl status|pause|resume|login-on|login-off|quit"
