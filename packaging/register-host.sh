#!/usr/bin/env bash
# velmora-register-host: registers the Velmora web host for the current user by writing its
# native-messaging manifest into the per-user folders of Chrome, Chromium, Edge, Brave, Vivaldi and
# Firefox, and
# removes those manifests again. Nothing outside the user's home folder is touched.
set -euo pipefail
export LC_ALL=C

readonly NAME=@VELMORA_HOST_NAME@
readonly DESCRIPTION="Links the Velmora browser extension to the Velmora desktop agent"

usage() {
  cat <<USAGE
usage: velmora-register-host install [--host PATH] [--chromium ID]... [--firefox ID]...
       velmora-register-host uninstall
  --chromium ID  allow the Chrome, Chromium, Edge, Brave and Vivaldi extension with this ID
                 (32 letters a-p)
  --firefox ID   allow the Firefox extension with this ID (name@domain or {GUID})
  --host PATH    the host executable (default: velmora-web-host beside this script)
At least one extension ID is needed; each browser family gets a manifest only for its own IDs.
USAGE
}

fail() {
  echo "velmora-register-host: $*" >&2
  exit 2
}

# The per-user folders, each with the family whose manifest it takes and the folder below which
# uninstalling may remove what became empty. The Chromium family keeps its profiles under
# XDG_CONFIG_HOME when that is set, as the browsers themselves do.
folders() {
  local config="$HOME/.config" browser
  [[ ${XDG_CONFIG_HOME:-} == /* ]] && config=$XDG_CONFIG_HOME
  for browser in google-chrome chromium microsoft-edge BraveSoftware/Brave-Browser vivaldi; do
    echo "chromium $config $config/$browser/NativeMessagingHosts"
  done
  echo "firefox $HOME $HOME/.mozilla/native-messaging-hosts"
}

json_string() {
  local text=$1
  text=${text//\\/\\\\}
  text=${text//\"/\\\"}
  printf '"%s"' "$text"
}

# A JSON array of the arguments, each wrapped in $1 and $2.
json_list() {
  local before=$1 after=$2 separator="" id
  shift 2
  printf '['
  for id in "$@"; do
    printf '%s' "$separator"
    json_string "$before$id$after"
    separator=", "
  done
  printf ']'
}

manifest() {
  local host=$1 key=$2
  shift 2
  printf '{\n  "name": "%s",\n  "description": %s,\n  "path": %s,\n  "type": "stdio",\n' \
    "$NAME" "$(json_string "$DESCRIPTION")" "$(json_string "$host")"
  printf '  "%s": %s\n}\n' "$key" "$*"
}

write_file() {
  local folder=$1 text=$2
  mkdir -p "$folder"
  local temporary
  temporary=$(mktemp "$folder/.$NAME.XXXXXX")
  printf '%s' "$text" >"$temporary"
  chmod 644 "$temporary"
  mv -f "$temporary" "$folder/$NAME.json"
  echo "wrote $folder/$NAME.json"
}

install_manifests() {
  local host chromium=() firefox=()
  host="$(dirname "$(readlink -f "$0")")/velmora-web-host"
  while (($#)); do
    (($# >= 2)) || fail "missing value after $1"
    case $1 in
      --host) host=$2 ;;
      --chromium)
        [[ $2 =~ ^[a-p]{32}$ ]] || fail "not a Chromium extension ID: '$2'"
        chromium+=("$2") ;;
      --firefox)
        [[ $2 =~ ^[A-Za-z0-9._+-]*@[A-Za-z0-9._-]+$ || $2 =~ ^\{[0-9A-Fa-f-]{36}\}$ ]] ||
          fail "not a Firefox extension ID: '$2'"
        firefox+=("$2") ;;
      *) fail "unknown option: $1" ;;
    esac
    shift 2
  done
  ((${#chromium[@]} + ${#firefox[@]})) || fail "give at least one extension ID"
  # The browsers need an absolute path; resolve links so that the agent is found beside it.
  host=$(readlink -f -- "$host") && [[ -f $host && -x $host ]] ||
    fail "not an executable file: '$host'"
  [[ $host != *[[:cntrl:]]* ]] || fail "control characters in the host's path"

  local chromium_text="" firefox_text="" family top folder
  ((${#chromium[@]})) &&
    chromium_text=$(manifest "$host" allowed_origins "$(json_list chrome-extension:// / "${chromium[@]}")")
  ((${#firefox[@]})) &&
    firefox_text=$(manifest "$host" allowed_extensions "$(json_list "" "" "${firefox[@]}")")
  while read -r family top folder; do
    if [[ $family == chromium && -n $chromium_text ]]; then
      write_file "$folder" "$chromium_text"$'\n'
    elif [[ $family == firefox && -n $firefox_text ]]; then
      write_file "$folder" "$firefox_text"$'\n'
    fi
  done < <(folders)
}

# Removes the manifests, then the folders that only they kept (a browser that was never run),
# up to but not including $top.
uninstall_manifests() {
  (($# == 0)) || fail "uninstall takes no arguments"
  local family top folder
  while read -r family top folder; do
    if [[ -e $folder/$NAME.json ]]; then
      rm -f -- "$folder/$NAME.json"
      echo "removed $folder/$NAME.json"
    fi
    while [[ $folder == "$top"/* ]] && rmdir -- "$folder" 2>/dev/null; do
      folder=$(dirname "$folder")
    done
  done < <(folders)
}

[[ ${HOME:-} == /* ]] || fail "HOME is not an absolute path"
(($#)) || { usage >&2; exit 2; }
command=$1
shift
case $command in
  install) install_manifests "$@" ;;
  uninstall) uninstall_manifests "$@" ;;
  -h | --help) usage ;;
  *) usage >&2; exit 2 ;;
esac
