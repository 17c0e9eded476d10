# shellcheck shell=bash
# shellcheck disable=SC2034  # the QW_ variables set here are read by the scripts that source this
# The login agent that install-macos --agent adds and uninstall-macos removes: a per-user launchd
# agent running the installed tetherstream at login and again whenever it ends. It belongs to
# the user who runs the script (the one behind sudo, under sudo): its files are written, and
# launchctl is run, as that user, never as root. Written for macOS's bash 3.2.

QW_AGENT_LABEL=com.quillwave.tetherstream
QW_AGENT_TEMPLATE=packaging/macos/tetherstream-agent.plist.in

# Sets QW_AGENT_UID, QW_AGENT_USER, QW_AGENT_HOME (on the target system) and the agent's paths:
# QW_AGENT_PLIST (under QW_ROOT) and QW_AGENT_PLIST_AT, QW_AGENT_LOG_AT (as launchd sees them).
qw_agent_paths() {
  if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_UID:-}" ] && [ -n "${SUDO_USER:-}" ]; then
    QW_AGENT_UID=$SUDO_UID QW_AGENT_USER=$SUDO_USER
  else
    QW_AGENT_UID=$(id -u) QW_AGENT_USER=$(id -un)
  fi
  if [ "$(uname -s)" = Darwin ]; then
    QW_AGENT_HOME=$(dscl . -read "/Users/$QW_AGENT_USER" NFSHomeDirectory | sed 's/^[^:]*: *//')
  else
    QW_AGENT_HOME=$(getent passwd "$QW_AGENT_USER" | cut -d: -f6)
  fi
  [ -n "$QW_AGENT_HOME" ] || QW_AGENT_HOME=$HOME
  QW_AGENT_PLIST_AT="$QW_AGENT_HOME/Library/LaunchAgents/$QW_AGENT_LABEL.plist"
  QW_AGENT_LOG_AT="$QW_AGENT_HOME/Library/Logs/tetherstream.log"
  QW_AGENT_PLIST="$QW_ROOT$QW_AGENT_PLIST_AT"
}

# The directories the agent's files need, as paths on the target system, parents first, one a
# line.
qw_agent_dirs() {
  local d p part
  p=""
  for part in $(echo "$QW_AGENT_HOME" | tr '/' ' '); do
    p="$p/$part"
    echo "$p"
  done
  echo "$QW_AGENT_HOME/Library"
  for d in LaunchAgents Logs; do echo "$QW_AGENT_HOME/Library/$d"; done
}

# Runs a command as the agent's user: itself, or through sudo -u when that user is not us.
qw_as_agent_user() {
  if [ "$(id -u)" -eq "$QW_AGENT_UID" ]; then
    qw_run "$@"
  else
    qw_run sudo -u "$QW_AGENT_USER" "$@"
  fi
}

# The words that run launchctl as the agent's user, for printing.
qw_agent_launchctl_words() {
  if [ "$(id -u)" -eq "$QW_AGENT_UID" ]; then echo launchctl; else echo "sudo -u $QW_AGENT_USER launchctl"; fi
}

qw_xml_escape() {
  printf '%s' "$1" | sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g'
}

# $1 with every $2 replaced by $3, taken literally.
qw_fill() {
  local text=$1 key=$2 value=$3 out=""
  while case $text in *"$key"*) true ;; *) false ;; esac; do
    out=$out${text%%"$key"*}$value
    text=${text#*"$key"}
  done
  printf '%s' "$out$text"
}

# The agent's plist: the template with the label, the program, QW_AGENT_ARGS and the log.
qw_agent_plist() {
  local line arg
  while IFS= read -r line || [ -n "$line" ]; do
    if [ "$line" = "@ARGUMENTS@" ]; then
      for arg in ${QW_AGENT_ARGS[@]+"${QW_AGENT_ARGS[@]}"}; do
        printf '        <string>%s</string>\n' "$(qw_xml_escape "$arg")"
      done
      continue
    fi
    line=$(qw_fill "$line" @LABEL@ "$QW_AGENT_LABEL")
    line=$(qw_fill "$line" @PROGRAM@ "$(qw_xml_escape "$QW_BRIDGE_AT")")
    line=$(qw_fill "$line" @LOG@ "$(qw_xml_escape "$QW_AGENT_LOG_AT")")
    printf '%s\n' "$line"
  done <"$QW_AGENT_TEMPLATE"
}

# Refuses what cannot make a lasting agent: root as its user on the running system, and options
# with which tetherstream ends at once.
qw_agent_check() {
  local arg
  if [ -z "$QW_ROOT" ] && [ "$QW_AGENT_UID" -eq 0 ]; then
    echo "$QW_SCRIPT: the login agent runs as a user, not root: run this as that user (sudo is asked for when needed)" >&2
    exit 2
  fi
  for arg in ${QW_AGENT_ARGS[@]+"${QW_AGENT_ARGS[@]}"}; do
    case $arg in
      -h|--help|--find)
        echo "$QW_SCRIPT: tetherstream $arg ends at once; it makes no login agent" >&2
        exit 2
        ;;
    esac
  done
}

# Unloads the agent if launchd has it; only on the running system.
qw_agent_unload() {
  if [ -n "$QW_ROOT" ]; then
    echo "$QW_SCRIPT: not unloading the login agent (files are under $QW_ROOT, not the running system)"
    return
  fi
  if launchctl print "gui/$QW_AGENT_UID/$QW_AGENT_LABEL" >/dev/null 2>&1; then
    echo "$QW_SCRIPT: unloading the login agent (this stops its tetherstream)"
    qw_as_agent_user launchctl bootout "gui/$QW_AGENT_UID/$QW_AGENT_LABEL"
  fi
}

# Loads the agent, which starts its tetherstream now; only on the running system.
qw_agent_load() {
  local words
  words="$(qw_agent_launchctl_words) bootstrap gui/$QW_AGENT_UID $QW_AGENT_PLIST_AT"
  if [ -n "$QW_ROOT" ]; then
    echo "$QW_SCRIPT: not loading the login agent (files are under $QW_ROOT, not the running system); on the Mac: $words"
    return
  fi
  echo "$QW_SCRIPT: loading the login agent: tetherstream starts now, at every login and whenever it ends"
  qw_as_agent_user launchctl bootstrap "gui/$QW_AGENT_UID" "$QW_AGENT_PLIST"
}
