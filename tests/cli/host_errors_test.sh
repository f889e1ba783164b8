#!/usr/bin/env bash
# The host's errors as the command line says them: the host throws each unworded, the command line
# puts it into the user's language, a message that quotes another in both of its parts, with the
# exit status of its kind. No terminal is needed: each is refused before any is reached.
set -uo pipefail
vanto=$1
work=$(mktemp -d /tmp/vanto-host-errors-XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
export HOME=$work/home VANTO_REGISTRY=$work/registry
unset XDG_CONFIG_HOME XDG_DATA_HOME VANTO_DB VANTO_SITE LANGUAGE LC_ALL LC_MESSAGES || true
mkdir -p "$HOME" "$work/folder"

# Each case: the command's arguments (split on spaces), its exit status, what it says in English
# and in Simplified Chinese (after "vanto COMMAND: ").
cases=(
  "swipes --csv --json --db $work/a.db|2|give --csv or --json, not both|请给出 --csv 或 --json，不要同时给出"
  "db copy --from $work/a.db --to $work/a.db|2|--from and --to name the same database|--from 和 --to 指的是同一个数据库"
  "swipes --db $work/folder|3|database $work/folder is a folder, not a file|数据库 $work/folder 是文件夹，不是文件"
  "swipes --site $work/folder|2|cannot read the site file $work/folder: it is a folder|无法读取站点文件 $work/folder: 它是一个文件夹"
)
for case in "${cases[@]}"; do
  IFS="|" read -r args status english chinese <<<"$case"
  read -r -a argv <<<"$args"
  command=${argv[0]}
  for lang in "C.UTF-8|$english" "zh_CN.UTF-8|$chinese" "LANGUAGE=zh_CN|$chinese"; do
    IFS="|" read -r locale said <<<"$lang"
    [[ $locale == *=* ]] || locale="LANG=$locale"
    err=$(env LANG=C.UTF-8 "$locale" "$vanto" "${argv[@]}" 2>&1); got=$?
    [ "$got" -eq "$status" ] || fail "$locale $args: exit $got, not $status: $err"
    # A usage error goes on with where to find help, in the same language.
    [ "$err" = "vanto $command: $said" ] || [[ $err == "vanto $command: $said "[\(（]* ]] ||
      fail "$locale $args: said '$err', not 'vanto $command: $said'"
  done
done

# A result that carries a host part's failure (check's finding of a database that cannot be
# opened) says it in the user's language too, whole; its JSON keeps the English text a program
# reads, and nothing beside it.
mkdir -p "$work/site/db"
printf 'database = "db"\n[[port]]\nnumber = 1\ndevice = "%s/no-device"\nterminals = [1]\n' "$work" >"$work/site/site.toml"
results=(
  "check --site $work/site/site.toml|FAIL  database: database $work/site/db is a folder, not a file|FAIL  数据库：数据库 $work/site/db 是文件夹，不是文件"
)
for case in "${results[@]}"; do
  IFS="|" read -r args english chinese <<<"$case"
  read -r -a argv <<<"$args"
  for lang in "LANG=C.UTF-8|$english" "LANG=zh_CN.UTF-8|$chinese" "LANGUAGE=zh_CN|$chinese"; do
    IFS="|" read -r locale said <<<"$lang"
    out=$(env LANG=C.UTF-8 "$locale" "$vanto" "${argv[@]}" 2>&1)
    grep -qxF -- "$said" <<<"$out" || fail "$locale $args: no line '$said' in: $out"
  done
  json=$(env LANG=C.UTF-8 LANGUAGE=zh_CN "$vanto" "${argv[@]}" --json 2>/dev/null)
  grep -qF "\"error\": \"database $work/site/db is a folder, not a file\"" <<<"$json" ||
    fail "$args --json: the English error is not in: $json"
  ! grep -q '_said' <<<"$json" || fail "$args --json: a message's inner form shows: $json"
done

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all host errors said in both languages"
