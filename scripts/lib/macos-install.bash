# shellcheck shell=bash
# shellcheck disable=SC2034  # the QW_ variables set here are read by the scripts that source this
# What install-macos and uninstall-macos share: the command line, the installed paths, the
# receipt of what was installed, and running a command (or only printing it, with --dry-run),
# with sudo only where the destination is not writable. Written for macOS's bash 3.2.

# shellcheck source=scripts/lib/macos-agent.bash
. scripts/lib/macos-agent.bash

qw_usage() {
  echo "usage: scripts/$QW_SCRIPT [--root DIR] [--dry-run]${QW_EXTRA_USAGE:-}" >&2
  exit 2
}

# Sets QW_ROOT ("" for /), QW_DRY_RUN, QW_BUILD_DIR, QW_AGENT (1 with --agent) and QW_AGENT_ARGS
# (the options after "--", for the agent's tetherstream) from the command line, then the paths
# and the agent's user (qw_agent_paths). --build-dir and --agent are the install's alone.
qw_parse_args() {
  QW_ROOT="" QW_DRY_RUN=0 QW_BUILD_DIR="" QW_AGENT=0 QW_AGENT_ARGS=()
  while (($#)); do
    case $1 in
      --root) (($# >= 2)) || qw_usage; QW_ROOT=${2%/}; shift 2 ;;
      --dry-run) QW_DRY_RUN=1; shift ;;
      --build-dir)
        if [ -z "${QW_EXTRA_USAGE:-}" ] || (($# < 2)); then qw_usage; fi
        QW_BUILD_DIR=$2
        shift 2
        ;;
      --agent) [ -n "${QW_EXTRA_USAGE:-}" ] || qw_usage; QW_AGENT=1; shift ;;
      --)
        ((QW_AGENT)) || { echo "$QW_SCRIPT: options after -- are for --agent" >&2; qw_usage; }
        shift
        QW_AGENT_ARGS=("$@")
        break
        ;;
      -h|--help) qw_usage ;;
      *) echo "$QW_SCRIPT: unknown argument: $1" >&2; qw_usage ;;
    esac
  done
  if [ -n "$QW_ROOT" ]; then
    case $QW_ROOT in /*) ;; *) QW_ROOT="$PWD/$QW_ROOT" ;; esac
    [ -d "$QW_ROOT" ] || { echo "$QW_SCRIPT: --root $QW_ROOT is not a directory" >&2; exit 2; }
  elif [ "$(uname -s)" != Darwin ]; then
    echo "$QW_SCRIPT: this installs into macOS; elsewhere give --root DIR" >&2
    exit 2
  fi
  QW_HAL_DIR="$QW_ROOT/Library/Audio/Plug-Ins/HAL"
  QW_BIN_DIR="$QW_ROOT/usr/local/bin"
  QW_RECEIPT_DIR="$QW_ROOT/usr/local/share/quillwave"
  QW_BUNDLE="$QW_HAL_DIR/quillwave-driver.driver"
  QW_BRIDGE_AT=/usr/local/bin/tetherstream
  QW_BRIDGE="$QW_ROOT$QW_BRIDGE_AT"
  QW_RECEIPT="$QW_RECEIPT_DIR/installed"
  qw_agent_paths
}

# Prints a command, then runs it unless this is a dry run.
qw_run() {
  if ((QW_DRY_RUN)); then
    echo "  would run: $*"
  else
    echo "  + $*"
    "$@"
  fi
}

# The nearest existing directory at or above $1.
qw_existing_ancestor() {
  local p=$1
  while [ ! -e "$p" ] && [ "$p" != / ] && [ -n "$p" ]; do p=$(dirname "$p"); done
  echo "${p:-/}"
}

# Runs a command that changes $1 (a path): through sudo when that place is not writable by us.
qw_admin() {
  local place=$1
  shift
  if [ "$(id -u)" -eq 0 ] || [ -w "$(qw_existing_ancestor "$place")" ]; then
    qw_run "$@"
  else
    qw_run sudo "$@"
  fi
}

# Restarts the audio server so that it loads (or forgets) the driver; only when installing
# into the running system. launchd starts coreaudiod again at once after it ends.
# `launchctl kickstart -k system/com.apple.audio.coreaudiod` would be the gentler way, but
# recent macOS refuses it while System Integrity Protection is on.
qw_restart_audio_server() {
  if [ -n "$QW_ROOT" ]; then
    echo "$QW_SCRIPT: not restarting the audio server (files are under $QW_ROOT, not the running system)"
    return
  fi
  echo "$QW_SCRIPT: restarting the audio server"
  qw_run sudo killall coreaudiod
}

# The directories an install may create, as paths on the target system: the three destinations
# and their parents, parents first.
qw_install_dirs() {
  local d p list=""
  for d in /Library/Audio/Plug-Ins/HAL /usr/local/bin /usr/local/share/quillwave; do
    p=""
    for part in ${d//\// }; do
      p="$p/$part"
      case " $list " in *" $p "*) ;; *) list="$list $p" ;; esac
    done
  done
  echo "$list"
}

# The directories a receipt records as made by an install, oldest first; lines that are not one
# of the directories an install may create (qw_install_dirs, qw_agent_dirs) are ignored.
qw_receipt_dirs() {
  local allowed agent line dir
  allowed=" $(qw_install_dirs) "
  agent=$'\n'"$(qw_agent_dirs)"$'\n'
  [ -f "$QW_RECEIPT" ] || return 0
  while IFS= read -r line || [ -n "$line" ]; do
    case $line in "dir "*) ;; *) continue ;; esac
    dir=${line#dir }
    case $allowed in *" $dir "*) echo "$dir"; continue ;; esac
    case $agent in *$'\n'"$dir"$'\n'*) echo "$dir" ;; esac
  done <"$QW_RECEIPT"
}
