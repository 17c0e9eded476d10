# shellcheck shell=bash
# shellcheck disable=SC2034  # the QW_ variables set here are read by the scripts that source this
# What install-macos and uninstall-macos share: the command line, the installed paths, the
# receipt of what was installed, and running a command (or only printing it, with --dry-run),
# with sudo only where the destination is not writable. Written for macOS's bash 3.2.

qw_usage() {
  echo "usage: scripts/$QW_SCRIPT [--root DIR] [--dry-run]${QW_EXTRA_USAGE:-}" >&2
  exit 2
}

# Sets QW_ROOT ("" for /), QW_DRY_RUN, QW_BUILD_DIR from the command line.
qw_parse_args() {
  QW_ROOT="" QW_DRY_RUN=0 QW_BUILD_DIR=""
  while (($#)); do
    case $1 in
      --root) (($# >= 2)) || qw_usage; QW_ROOT=${2%/}; shift 2 ;;
      --dry-run) QW_DRY_RUN=1; shift ;;
      --build-dir)
        if [ -z "${QW_EXTRA_USAGE:-}" ] || (($# < 2)); then qw_usage; fi
        QW_BUILD_DIR=$2
        shift 2
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
  QW_BRIDGE="$QW_BIN_DIR/tetherstream"
  QW_RECEIPT="$QW_RECEIPT_DIR/installed"
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
# of the directories an install may create are ignored.
qw_receipt_dirs() {
  local allowed line
  allowed=" $(qw_install_dirs) "
  [ -f "$QW_RECEIPT" ] || return 0
  while IFS= read -r line || [ -n "$line" ]; do
    case $line in
      "dir "*) case $allowed in *" ${line#dir } "*) echo "${line#dir }" ;; esac ;;
    esac
  done <"$QW_RECEIPT"
}
