#!/usr/bin/env bash
# The vanto program as a process: its standard output failing, cursor codes only on a terminal
# that understands them, --version, HOME unset, both message languages, against `vanto sim`.
set -uo pipefail
vanto=$1
work=$(mktemp -d /tmp/vanto-process-XXXXXX)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
export HOME=$work/home VANTO_REGISTRY=$work/registry LANG=C.UTF-8
unset XDG_DATA_HOME VANTO_DB LANGUAGE LC_ALL LC_MESSAGES NO_COLOR || true
mkdir -p "$HOME"

# The simulator, its settings read from its first lines (bounded by read's timeout).
coproc SIM { exec "$vanto" sim --link-dir "$work/ports"; }
sim_pid=$SIM_PID
while IFS= read -r -t 20 line <&"${SIM[0]}"; do
  case $line in
    export\ *) eval "$line" ;;
    Stop*) break ;;
  esac
done
[ -n "${VANTO_FK_PORT_1:-}" ] || { echo "the simulator did not start"; exit 1; }

# A write error on standard output: non-zero, with a message naming it.
for args in "--help" "scan --ports 1 --terminals 1-2" "--version"; do
  err=$("$vanto" $args 2>&1 >/dev/full); status=$?
  [ "$status" -eq 3 ] || fail "'vanto $args > /dev/full' exited $status"
  grep -q "cannot write to standard output" <<<"$err" || fail "'vanto $args > /dev/full' said: $err"
done

# The progress line's cursor codes: on a terminal, not with TERM=dumb, never into a file.
db=$work/vanto.db
TERM=xterm script -qec "$vanto download --port 1 --terminal 1 --db $db" "$work/xterm.log" >/dev/null
grep -q $'\e\[K' "$work/xterm.log" || fail "no progress line on a terminal (the check below proves nothing)"
TERM=dumb script -qec "$vanto download --port 1 --terminal 1 --all --db $db" "$work/dumb.log" >/dev/null
grep -q $'\e' "$work/dumb.log" && fail "cursor codes with TERM=dumb"
"$vanto" download --port 1 --terminal 1 --all --db "$db" --progress >/dev/null 2>"$work/forced.err"
grep -q $'\e' "$work/forced.err" && fail "cursor codes with --progress into a file"
grep -q "^downloading: " "$work/forced.err" || fail "--progress into a file drew nothing: $(cat "$work/forced.err")"
NO_COLOR=1 TERM=xterm "$vanto" download --port 1 --terminal 2 --db "$db" >"$work/plain.out" 2>"$work/plain.err"
grep -q $'\e' "$work/plain.out" "$work/plain.err" && fail "escape codes with standard error a file"
grep -q "records delivered" "$work/plain.out" || fail "no summary: $(cat "$work/plain.out" "$work/plain.err")"

# --version: the program and each module with its path and version text.
version=$("$vanto" --version)
grep -Eq '^vanto [0-9]+\.[0-9]+\.[0-9]+$' <<<"$version" || fail "no program version: $version"
grep -Eq '^VANTO\.clsMachine: /.*/VANTO\.so \(1\.00\.0000\)$' <<<"$version" || fail "no driver version: $version"
grep -Eq '^FK303IDLib\.FK303ID: /.*/FK303ID\.so \(1\.00\.0000\)$' <<<"$version" || fail "no control version: $version"
grep -q "version resource\|version unreadable\|no version text" <<<"$version" && fail "a module without its version: $version"

# HOME unset and no XDG or VANTO_DB: the default database is refused, nothing in this folder.
cd "$work" && mkdir -p nohome && cd nohome
err=$(env -u HOME "$vanto" download --port 1 --terminal 1 2>&1); status=$?
[ "$status" -eq 2 ] || fail "HOME unset: exit $status"
grep -q "HOME is not set" <<<"$err" || fail "HOME unset said: $err"
[ -z "$(ls -A)" ] || fail "HOME unset left files: $(ls -A)"

# Both languages, with the zh_CN locale installed or not.
for lang in "LANG=zh_CN.UTF-8" "LC_ALL=zh_CN.UTF-8" "LANGUAGE=zh_CN" "LANG=zh_CN.GB18030"; do
  err=$(env $lang "$vanto" download --port 1 --terminal 256 2>&1)
  grep -q "超出范围（1..255）" <<<"$err" || fail "$lang: $err"
done
out=$(LANG=zh_CN.UTF-8 "$vanto" scan --ports 1 --terminals 1-2)
grep -q "端口  终端" <<<"$out" || fail "zh_CN scan: $out"
err=$(LANG=de_DE.UTF-8 "$vanto" download --port 1 --terminal 256 2>&1)
grep -q "is out of range (1..255)" <<<"$err" || fail "English elsewhere: $err"
# The driver's own texts pass through as they stand, in every language.
for lang in C.UTF-8 zh_CN.UTF-8; do
  err=$(LANG=$lang "$vanto" download --port 2 --terminal 9 --db "$work/x.db" 2>&1)
  grep -q "编号为9的考勤机不能下载刷卡数据" <<<"$err" || fail "$lang: the driver's text: $err"
done

# restore only reads: a read-only database in a read-only folder will do. Root writes anyway,
# so as root the restore runs as nobody (with the simulated port opened up to it).
mkdir -p "$work/ro"
"$vanto" backup --port 1 --terminal 1 --person 107 --db "$work/ro/v.db" >/dev/null || fail "backup for the read-only restore"
"$vanto" download --port 1 --terminal 1 --db "$work/ro/v.db" >/dev/null || fail "download for the read-only listings"
printf 'person,name\n101,Reader One\n' >"$work/people.csv"
"$vanto" people import "$work/people.csv" --db "$work/ro/v.db" >/dev/null || fail "people for the read-only listings"
chmod 444 "$work/ro/v.db"; chmod 555 "$work/ro"
as_reader=()
if [ "$(id -u)" -eq 0 ]; then
  chmod 755 "$work"; chmod 666 "$VANTO_REGISTRY"
  chmod 666 "$(readlink -f "$VANTO_FK_PORT_2")"
  as_reader=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
out=$("${as_reader[@]}" "$vanto" restore --port 2 --terminal 3 --person 107 --db "$work/ro/v.db" 2>&1); status=$?
[ "$status" -eq 0 ] || fail "restore from a read-only database in a read-only folder: exit $status: $out"
grep -q "restored person 107 to terminal 3 on port 2: fingerprint" <<<"$out" || fail "read-only restore said: $out"
[ -z "$(ls -A "$work/ro" | grep -v '^v.db$')" ] || fail "the read-only restore left files: $(ls -A "$work/ro")"
# The listings and the report only read too: the same read-only database serves them.
month=$("${as_reader[@]}" "$vanto" swipes --csv --db "$work/ro/v.db" 2>&1 | sed -n '2s/^\([0-9]\{4\}-[0-9][0-9]\).*/\1/p')
[ -n "$month" ] || fail "swipes from a read-only database in a read-only folder listed nothing"
out=$("${as_reader[@]}" "$vanto" swipes --csv --db "$work/ro/v.db" 2>&1); status=$?
[ "$status" -eq 0 ] || fail "swipes from a read-only database: exit $status: $out"
grep -q ',Reader One$' <<<"$out" || fail "swipes from a read-only database lack the names: $out"
out=$("${as_reader[@]}" "$vanto" people --csv --db "$work/ro/v.db" 2>&1); status=$?
[ "$status" -eq 0 ] && [ "$out" = "$(printf 'person,name,department,employee_code\n101,Reader One,,')" ] ||
  fail "people from a read-only database: exit $status: $out"
out=$("${as_reader[@]}" "$vanto" report --month "${month:-2000-01}" --csv --db "$work/ro/v.db" 2>&1); status=$?
[ "$status" -eq 0 ] && [ "$(echo "$out" | wc -l)" -gt 1 ] || fail "report from a read-only database: exit $status: $out"
[ -z "$(ls -A "$work/ro" | grep -v '^v.db$')" ] || fail "the read-only listings left files: $(ls -A "$work/ro")"
chmod 755 "$work/ro"
# One voice per locale: headings and the report page follow the language, CSV headers do not.
printf 'database = 5\n' >"$work/bad-site.toml"
for case in "C.UTF-8|PERSON  NAME|lang=\"en\"|<title>Attendance |key 'database': must be a string, not a whole number" \
            "zh_CN.UTF-8|人员  姓名|lang=\"zh-CN\"|<title>考勤 |键“database”：必须是字符串，而不是整数"; do
  IFS="|" read -r lang heading html_lang title site_error <<<"$case"
  err=$(LANG=$lang "$vanto" swipes --site "$work/bad-site.toml" 2>&1); status=$?
  [ "$status" -eq 2 ] && [ "$err" = "vanto swipes: $work/bad-site.toml:1: $site_error" ] || fail "$lang bad site file: exit $status: $err"
  out=$(LANG=$lang "$vanto" people --db "$work/ro/v.db" 2>&1)
  head -1 <<<"$out" | grep -q "^$heading" || fail "$lang people heading: $out"
  out=$(LANG=$lang "$vanto" people --csv --db "$work/ro/v.db" 2>&1)
  [ "$(echo "$out" | head -1)" = "person,name,department,employee_code" ] || fail "$lang people CSV header: $out"
  LANG=$lang "$vanto" report --month "${month:-2000-01}" --html "$work/page-$lang.html" --db "$work/ro/v.db" >/dev/null 2>&1 ||
    fail "$lang report --html"
  grep -qF "<html $html_lang>" "$work/page-$lang.html" || fail "$lang report page language: $(head -2 "$work/page-$lang.html")"
  grep -qF "$title" "$work/page-$lang.html" || fail "$lang report page title: $(grep title "$work/page-$lang.html")"
  [ "$(stat -c %a "$work/page-$lang.html")" = 600 ] || fail "$lang report page is not private"
done

# Counts in sentences take their number's form in both languages; the site file is private.
for case in "C.UTF-8|: 1 terminal on 1 port$|: [2-9] terminals on 2 ports$" \
            "zh_CN.UTF-8|：1 个端口上共 1 台考勤机$|：2 个端口上共 [2-9] 台考勤机$" \
            "LANGUAGE=zh_CN|：1 个端口上共 1 台考勤机$|：2 个端口上共 [2-9] 台考勤机$"; do
  IFS="|" read -r lang one two <<<"$case"
  [[ $lang == *=* ]] || lang="LANG=$lang"
  rm -f "$work/init-1.toml" "$work/init-2.toml"
  out=$(env "$lang" "$vanto" site init --ports 1 --terminals 1 --site "$work/init-1.toml" 2>&1)
  grep -q "$one" <<<"$out" || fail "$lang: one terminal on one port: $out"
  out=$(env "$lang" "$vanto" site init --ports 1-2 --terminals 1-3 --site "$work/init-2.toml" 2>&1)
  grep -q "$two" <<<"$out" || fail "$lang: two terminals on two ports: $out"
  [ "$(stat -c %a "$work/init-1.toml")" = 600 ] || fail "$lang: the site file is not private"
done

# A run's starter, a user's state and the report's title in each language; under zh_CN no line of
# English words is left.
"$vanto" sync --site "$work/init-1.toml" --db "$work/runs.db" >/dev/null 2>&1 || fail "sync for the history"
printf 'long enough\n' | "$vanto" user add ada --role viewer --db "$work/runs.db" >/dev/null || fail "user add"
for case in "C.UTF-8|command (|enabled|Attendance 2026-01-01 to 2026-01-31 (working days start at 00:00)" \
            "zh_CN.UTF-8|命令行（|已启用|考勤 2026-01-01 至 2026-01-31（工作日开始于 00:00）"; do
  IFS="|" read -r lang starter state title <<<"$case"
  history=$(LANG=$lang "$vanto" sync --history --site "$work/init-1.toml" --db "$work/runs.db" 2>&1) || fail "$lang sync --history: $history"
  echo "$history" | sed -n 2p | grep -qF "$starter" || fail "$lang sync --history starter: $history"
  users=$(LANG=$lang "$vanto" user list --db "$work/runs.db" 2>&1) || fail "$lang user list: $users"
  grep -q "^ada .*$state" <<<"$users" || fail "$lang user list: $users"
  report=$(LANG=$lang "$vanto" report --month 2026-01 --db "$work/runs.db" 2>&1) || fail "$lang report: $report"
  [ "$(echo "$report" | head -1)" = "$title" ] || fail "$lang report title: $report"
  if [[ $lang == zh_CN* ]]; then
    english=$(printf '%s\n' "$history" "$users" "$report" | grep -E '\b[a-z]{2,} [a-z]{2,}\b' || true)
    [ -z "$english" ] || fail "$lang English left: $english"
  fi
done

# Help under zh_CN is Chinese: the summary, the details and every option's help (command and
# option names, usages and quoted commands stay as they are typed).
# Every command, two-word ones ("shift add") whole, and each group of them ("shift").
commands=$("$vanto" --help | sed -n '/^commands:/,/^$/s/^  \([a-z][a-z -]*[a-z]\)  .*/\1/p')
[ -n "$commands" ] || fail "no commands in the help"
groups=$(printf '%s\n' "$commands" | sed -n 's/^\([a-z]*\) .*/\1/p' | sort -u)
while IFS= read -r command; do
  for lang in "LANG=zh_CN.UTF-8" "LANGUAGE=zh_CN"; do
    out=$(env "$lang" "$vanto" help $command 2>&1) || fail "$lang help $command: $out"
    english=$(echo "$out" | grep -v '^用法：' | sed -e "s/'[^']*'//g" -e 's/--[a-z-]*//g' -e 's/vanto\( [a-z]\{1,\}\)\{1,\}//g' |
      grep -E '\b[a-z]{2,} [a-z]{2,} [a-z]{2,}\b' || true)
    [ -z "$english" ] || fail "$lang help $command has English: $english"
  done
done < <(printf '%s\n' "$commands" $groups)
out=$("$vanto" help shift) || fail "help shift: $out"
grep -q '^  shift assign  *give people' <<<"$out" || fail "help shift lists no shift commands: $out"

# A damaged registry is left as it is, and the message says how to recover.
printf 'not a registry\n' >"$work/damaged"
err=$(VANTO_REGISTRY=$work/damaged "$vanto" scan --ports 1 --terminals 1 2>&1); status=$?
[ "$status" -eq 3 ] || fail "damaged registry: exit $status"
grep -q "mv $work/damaged $work/damaged.damaged" <<<"$err" || fail "damaged registry said: $err"
[ "$(cat "$work/damaged")" = "not a registry" ] || fail "the damaged registry was changed"

[ "$failures" -eq 0 ] && echo "process test passed"
exit $((failures > 0))
