#!/usr/bin/env bash
# The layering of src/: what each folder may reach. Prints what breaks it and
# ends non-zero; scripts/test.sh runs it on every run.
set -uo pipefail
cd "$(dirname "$0")/.."

# The folder order, top to bottom: a folder includes itself and the folders
# on the lines below its own, never one on its own line. platform is written
# with the pure core of common (the common files that reach no platform
# header, themselves or through another common header), and nothing outside
# platform reaches its posix/ implementation but through its headers.
folder_order='
app
installer uninstall update
windows_integration
native_ui archive
common
platform
'

failed=0
report() { echo "$1:"; echo "$2"; failed=1; }
sources() { grep -rn --include='*.cpp' --include='*.h' "$@" src; }

# Outside the platform layer no source reaches the OS directly.
bad=$(sources -E '#include <(unistd|fcntl|windows|dirent|pthread|signal|spawn|poll|termios)\.h>|#include <sys/|std::filesystem|<filesystem>|<fstream>|fstream|fopen' \
      | grep -v '^src/platform/' || true)
[ -n "$bad" ] && report "System calls outside src/platform" "$bad"

# Threads start only through platform::Thread, which the dialog host and the
# tests' seam know about.
bad=$(sources -E '<thread>|std::thread|std::jthread|std::this_thread' | grep -v '^src/platform/' || true)
[ -n "$bad" ] && report "Threads outside src/platform" "$bad"

declare -A level
n=0
while read -r line; do
  [ -z "$line" ] && continue
  n=$((n + 1))
  for folder in $line; do level[$folder]=$n; done
done <<<"$folder_order"

# The common pieces (header and source by one name) that reach the platform,
# directly or through another such piece.
stem() { local n=${1##*/}; echo "${n%.*}"; }
impure=" $(grep -l '#include "platform/' src/common/* | while read -r f; do stem "$f"; done | sort -u | tr '\n' ' ')"
while :; do
  grown=$impure
  for f in src/common/*; do
    name=$(stem "$f")
    [[ $grown == *" $name "* ]] && continue
    for inc in $(sed -n 's/^#include "common\/\([^"]*\)".*/\1/p' "$f"); do
      if [[ $grown == *" $(stem "$inc") "* ]]; then grown+="$name "; break; fi
    done
  done
  [ "$grown" = "$impure" ] && break
  impure=$grown
done

bad=""
while IFS=: read -r file lineno text; do
  from=${file#src/}; from=${from%%/*}
  [[ $text =~ ^#include\ \"([^\"]*)\" ]] || continue
  path=${BASH_REMATCH[1]}
  to=${path%%/*}
  [ "$to" = "$path" ] && continue  # not below a src/ folder
  if [ -z "${level[$from]:-}" ] || [ -z "${level[$to]:-}" ]; then
    bad+="$file:$lineno: $path (a folder not in the order)"$'\n'
  elif [[ $path == platform/posix/* && $from != platform ]]; then
    bad+="$file:$lineno: $path (posix/ is reached through the platform headers)"$'\n'
  elif [ "$from" = platform ] && [ "$to" = common ]; then
    [[ $impure == *" $(stem "$path") "* ]] && bad+="$file:$lineno: $path (common reaching the platform)"$'\n'
  elif [ "$from" != "$to" ] && [ "${level[$to]}" -le "${level[$from]}" ]; then
    bad+="$file:$lineno: $path (not below $from)"$'\n'
  fi
done < <(sources -E '^#include "')
[ -n "$bad" ] && report "Includes against the folder order" "${bad%$'\n'}"

# Inside update: the names both roles share sit at src/update/ and reach no
# sub-folder; download and patch sit below prepare and apply and reach
# neither each other nor them; prepare and apply never reach each other.
# app reaches update only through the two roles' entry headers.
declare -A update_may=([shared]="" [download]="" [patch]="" [prepare]="download patch" [apply]="download patch")
bad=""
while IFS=: read -r file lineno text; do
  [[ $text =~ ^#include\ \"update/([^\"]*)\" ]] || continue
  path=${BASH_REMATCH[1]}
  case $file in
    src/app/*)
      case $path in prepare/prepare_driver.h|apply/apply_driver.h) ;;
        *) bad+="$file:$lineno: update/$path (app reaches update through the roles' entry headers)"$'\n' ;; esac
      continue ;;
    src/update/*/*) from=${file#src/update/}; from=${from%%/*} ;;
    src/update/*) from=shared ;;
    *) continue ;;
  esac
  to=shared
  [[ $path == */* ]] && to=${path%%/*}
  [ "$to" = shared ] || [ "$to" = "$from" ] && continue
  [[ " ${update_may[$from]:-} " == *" $to "* ]] && continue
  bad+="$file:$lineno: update/$path (update/$from does not reach update/$to)"$'\n'
done < <(sources -E '^#include "update/')
[ -n "$bad" ] && report "Includes against the order inside update" "${bad%$'\n'}"

[ $failed -eq 0 ] && echo "ok"
exit $failed
