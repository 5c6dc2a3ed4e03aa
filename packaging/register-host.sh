#!/usr/bin/env bash
# velmora-register-host: registers the Velmora web host for the current user by writing its
# native-messaging manifest into the per-user folders of the browsers in the browser table
# (packaging/browsers.tsv), those installed or those named, and removes what it wrote again.
# Nothing outside the user's home folder is touched.
set -euo pipefail
export LC_ALL=C

readonly NAME=@VELMORA_HOST_NAME@
readonly DESCRIPTION="Links the Velmora browser extension to the Velmora desktop agent"

usage() {
  cat <<USAGE
usage: velmora-register-host install [--host PATH] [--chromium ID]... [--firefox ID]...
                                     [--browser NAME]...
       velmora-register-host uninstall
  --chromium ID   allow the extension with this ID in the Chromium family (Chrome, Chromium,
                  Edge, Brave, Vivaldi, Opera; 32 letters a-p)
  --firefox ID    allow the extension with this ID in the Firefox family (Firefox, LibreWolf,
                  Waterfox, Floorp, Zen; name@domain or {GUID})
  --browser NAME  register for this browser only (repeatable): one of
                  $(ids), or all
  --host PATH     the host executable (default: velmora-web-host beside this script)
At least one extension ID is needed; each browser family gets a manifest only for its own IDs.
Without --browser, the browsers whose program is installed are registered for.
USAGE
}

fail() {
  echo "velmora-register-host: $*" >&2
  exit 2
}

# The browser table (packaging/browsers.tsv), written in by the build, one browser a line:
# id|name|family|per-user folder|programs (comma-separated).
rows() {
  cat <<'ROWS'
@VELMORA_BROWSER_ROWS@
ROWS
}

ids() {
  local list
  list=$(rows | cut -d'|' -f1 | paste -sd,)
  echo "${list//,/, }"
}

# The per-user folder of a table row and, tab-separated before it, the folder below which
# uninstalling may remove what became empty. The Chromium family keeps its profiles under
# XDG_CONFIG_HOME when that is set, as the browsers themselves do. Fails for a folder inside a
# browser's own bundle, which nothing outside the bundle can know.
resolve() {
  local user=$1 config="$HOME/.config"
  [[ ${XDG_CONFIG_HOME:-} == /* ]] && config=$XDG_CONFIG_HOME
  case $user in
    config/*) printf '%s\t%s\n' "$config" "$config/${user#config/}" ;;
    home/*) printf '%s\t%s\n' "$HOME" "$HOME/${user#home/}" ;;
    *) return 1 ;;
  esac
}

# A browser is present when one of its programs is, as the doctor counts it: a profile folder
# may outlive the browser, and a browser never started yet has none.
present() {
  local program programs
  IFS=, read -ra programs <<<"$1"
  for program in "${programs[@]}"; do
    if [[ $program == /* ]]; then
      [[ -f $program && -x $program ]] && return 0
    else
      type -P -- "$program" >/dev/null && return 0
    fi
  done
  return 1
}

bundle_note() {
  local name=$1 family=$2 user=$3 id kin
  # The first browser of its family that can be registered for, whose manifest it takes.
  IFS='|' read -r id kin < <(rows | awk -F'|' -v family="$family" \
    '$3 == family && $4 !~ /^bundle\// { print $1 "|" $2; exit }')
  echo "$name keeps its manifest folder inside its own bundle: ${user#bundle/} below the" \
    "folder it was unpacked in; register for $kin (--browser $id) and copy the manifest it" \
    "writes into that folder"
}

# The record of the files install wrote (each line the folder to prune up to, a tab, the file),
# and before it, tab-separated, the folder up to which removing the record may prune.
record_place() {
  if [[ ${XDG_STATE_HOME:-} == /* ]]; then
    printf '%s\t%s\n' "$XDG_STATE_HOME" "$XDG_STATE_HOME/velmora-web-host/registered"
  else
    printf '%s\t%s\n' "$HOME" "$HOME/.local/state/velmora-web-host/registered"
  fi
}

# Removes the folders that became empty, from $1 up to but not including $2.
prune() {
  local folder=$1 top=$2
  while [[ $folder == "$top"/* ]] && rmdir -- "$folder" 2>/dev/null; do
    folder=$(dirname "$folder")
  done
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
}

# Whether $1 is one of the other arguments.
among() {
  local word=$1 other
  shift
  for other in "$@"; do [[ $other == "$word" ]] && return 0; done
  return 1
}

# The rows to register for, as "id|name|family|user": those named (or all), else the present
# ones. Refuses a name the table lacks and a browser whose folder is inside its bundle.
chosen_rows() {
  local id name family user programs wanted all=false known
  known=$(rows | cut -d'|' -f1)
  for wanted in "$@"; do
    [[ $wanted == all ]] && all=true && continue
    among "$wanted" $known || fail "unknown browser '$wanted': name one of $(ids), or all"
  done
  while IFS='|' read -r id name family user programs; do
    if (($#)); then
      $all || among "$id" "$@" || continue
    else
      present "$programs" || continue
    fi
    if [[ $user == bundle/* ]]; then
      $all || (($# == 0)) || fail "$(bundle_note "$name" "$family" "$user")"
      bundle_note "$name" "$family" "$user" >&2
      continue
    fi
    echo "$id|$name|$family|$user"
  done < <(rows)
}

install_manifests() {
  local host chromium=() firefox=() browsers=()
  host="$(dirname "$(readlink -f "$0")")/velmora-web-host"
  while (($#)); do
    (($# >= 2)) || fail "missing value after $1"
    case $1 in
      --host) host=$2 ;;
      --browser) browsers+=("$2") ;;
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

  local chromium_text="" firefox_text=""
  ((${#chromium[@]})) &&
    chromium_text=$(manifest "$host" allowed_origins "$(json_list chrome-extension:// / "${chromium[@]}")")
  ((${#firefox[@]})) &&
    firefox_text=$(manifest "$host" allowed_extensions "$(json_list "" "" "${firefox[@]}")")

  # Each folder once (Opera reads Chrome's), with the browsers it serves; a family without an
  # ID of its own is left out.
  local chosen id name family user top folder found=() folders=() tops=() texts=() served=() i
  chosen=$(chosen_rows "${browsers[@]}")
  while IFS='|' read -r id name family user; do
    [[ -n $id ]] || continue
    found+=("$name")
    local text=$chromium_text
    [[ $family == firefox ]] && text=$firefox_text
    [[ -n $text ]] || continue
    IFS=$'\t' read -r top folder < <(resolve "$user")
    for i in "${!folders[@]}"; do
      [[ ${folders[i]} == "$folder" ]] && served[i]+=", $name" && continue 2
    done
    folders+=("$folder") tops+=("$top") texts+=("$text") served+=("$name")
  done <<<"$chosen"
  if ((${#browsers[@]} == 0)); then
    ((${#found[@]})) || fail "found no browser's program; name the browsers with --browser" \
      "(one of $(ids), or all)"
    local list
    list=$(printf '%s\n' "${found[@]}" | paste -sd,)
    echo "found ${list//,/, }"
  fi
  ((${#folders[@]})) || fail "the browsers chosen take none of the extension IDs given: the" \
    "Chromium family takes --chromium IDs, the Firefox family --firefox ones"

  local record entries
  IFS=$'\t' read -r _ record < <(record_place)
  mkdir -p "$(dirname "$record")"
  entries=$(cat -- "$record" 2>/dev/null || true)
  for i in "${!folders[@]}"; do
    write_file "${folders[i]}" "${texts[i]}"$'\n'
    echo "wrote ${folders[i]}/$NAME.json for ${served[i]}"
    entries+=$'\n'"${tops[i]}"$'\t'"${folders[i]}/$NAME.json"
  done
  grep -v '^$' <<<"$entries" | sort -u >"$record.new"
  mv -f "$record.new" "$record"
}

# Removes the manifests that install wrote, as its record says, and those folders that only they
# kept (a browser that was never run), then the record. Without a record (an older install),
# every browser's per-user manifest of this name goes.
uninstall_manifests() {
  (($# == 0)) || fail "uninstall takes no arguments"
  local record state top file
  IFS=$'\t' read -r state record < <(record_place)
  if [[ ! -f $record ]]; then
    local id name family user programs
    while IFS='|' read -r id name family user programs; do
      IFS=$'\t' read -r top file < <(resolve "$user") || continue
      remove "$top" "$file/$NAME.json"
    done < <(rows)
    return
  fi
  while IFS=$'\t' read -r top file; do
    # Only what still is this host's manifest: another program may have put its own there.
    if [[ -f $file ]] && ! grep -qF "\"name\": \"$NAME\"" -- "$file"; then
      echo "left $file: it is not this host's manifest"
      continue
    fi
    remove "$top" "$file"
  done <"$record"
  rm -f -- "$record"
  prune "$(dirname "$record")" "$state"
}

remove() {
  local top=$1 file=$2
  if [[ -e $file ]]; then
    rm -f -- "$file"
    echo "removed $file"
  fi
  prune "$(dirname "$file")" "$top"
}

[[ ${HOME:-} == /* ]] || fail "HOME is not an absolute path"
# The record keeps a path a line, a tab before it.
[[ $HOME${XDG_CONFIG_HOME:-}${XDG_STATE_HOME:-} != *[[:cntrl:]]* ]] ||
  fail "control characters in HOME, XDG_CONFIG_HOME or XDG_STATE_HOME"
(($#)) || { usage >&2; exit 2; }
command=$1
shift
case $command in
  install) install_manifests "$@" ;;
  uninstall) uninstall_manifests "$@" ;;
  -h | --help) usage ;;
  *) usage >&2; exit 2 ;;
esac
