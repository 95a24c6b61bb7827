#!/usr/bin/env bash
# The example role in examples/ansible rolls a kit out for real: two scratch
# users on this machine, the built setup and a kit packed by the built
# kittool, and ansible-playbook over a local connection, becoming each user
# with su. It checks what an administrator relies on:
#   - a first run installs the kit for both users and reports both changed;
#   - a run with nothing to do reports no change at all;
#   - a check (--check --diff) after a user lost a file says that user alone
#     would change, lists the file, and writes nothing anywhere;
#   - a user who lost a file is changed, the other one is not;
#   - a kit with one byte flipped (its old checksum file kept) fails for both
#     users with setup's damaged-kit message, and leaves both homes exactly
#     as they were, although the kit had files to install;
#   - the same kit undamaged then installs for both;
#   - a user whose home does not exist fails with the role's message,
#     setup is not run for that user, and no home is made.
# ansible-playbook runs with an environment that setup must not inherit: a
# display anyone may open, and a TMPDIR and XDG_STATE_HOME only root can
# enter; su -m keeps all of it, HOME included, so the role has to set what
# setup needs itself.
# The example inventory is read too, for the users it gives each host.
# Runs as root (it adds and removes users); elsewhere it is skipped.
#   tests/ansible_rollout_test.sh SETUP KITTOOL
set -euo pipefail

setup=$(realpath "$1")
kittool=$(realpath "$2")
source_dir=$(cd "$(dirname "$0")/.." && pwd)
playbook=$source_dir/examples/ansible/site.yml

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: adding users needs root"
  exit 77
fi
for tool in ansible-playbook Xvfb; do
  if ! command -v "$tool" >/dev/null; then
    echo "FAIL: no $tool (scripts/setup-machine installs it)" >&2
    exit 1
  fi
done

# The users must be able to reach the staging directory and setup's
# temporary directory inside the scratch directory.
scratch=$(mktemp -d)
chmod 0711 "$scratch"
users=()
last_output=
xvfb_pid=
cleanup() {
  local status=$? user
  set +e
  if [ "$status" -ne 0 ] && [ -n "$last_output" ] && [ -f "$last_output" ]; then
    echo "--- the last run's output:" >&2
    cat "$last_output" >&2
  fi
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid"
    wait "$xvfb_pid"
  fi
  # A user is removed once none of its processes is left; one that a
  # display kept waiting ends with the display.
  local _
  for user in "${users[@]}"; do
    for _ in $(seq 50); do
      userdel -r "$user" >/dev/null 2>&1
      getent passwd "$user" >/dev/null || continue 2
      sleep 0.2
    done
    echo "cannot remove user $user" >&2
  done
  [ -n "${KEEP:-}" ] || rm -rf "$scratch"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Two users no one else has.
for suffix in a b; do
  name=tqfleet$$$suffix
  while getent passwd "$name" >/dev/null || getent group "$name" >/dev/null; do
    name=tqfleet$RANDOM$suffix
  done
  useradd --create-home --shell /bin/sh "$name"
  users+=("$name")
done
homes=()
for user in "${users[@]}"; do
  homes+=("$(getent passwd "$user" | cut -d: -f6)")
done
templates=.tqkt/WEX/wexkt/tmplts  # under each home: setup's default

# A small kit, names outside ASCII included (the role's locale must spell
# them), and its checksum file.
tree=$scratch/tree
mkdir -p "$tree/config" "$tree/documents/ru" "$scratch/kit"
printf 'company = Example\n' >"$tree/config/company.cfg"
printf 'letter\n' >"$tree/documents/letter.tmpl"
printf 'письмо\n' >"$tree/documents/ru/письмо.tmpl"
printf '<p>about</p>\n' >"$tree/description_en.html"
# An hour old, so that the kit's next version is newer without a file in
# the future.
find "$tree" -exec touch -d '1 hour ago' {} +
kit=$scratch/kit/tqkt.efd
pack() {
  LC_ALL=C.UTF-8 "$kittool" pack "$tree" -o "$kit" --lang en \
    --product "Rollout test" >/dev/null
}
pack
[ -s "$kit.sha256" ] || fail "kittool pack wrote no $kit.sha256"

# Ansible with a configuration, a home and temporary directories of its own
# in the scratch directory. Its temporary directory is open to all, as /tmp
# is: a module run as one of the users makes its own directory there when it
# cannot read the directory it starts in. setup's temporary directory is
# there too, so that whatever it left would be seen.
mkdir "$scratch/ansible-home" "$scratch/ansible-tmp" "$scratch/setup-tmp"
chmod 1777 "$scratch/ansible-tmp" "$scratch/setup-tmp"
# What the connecting user's environment may hold and the users must not
# inherit: directories only root can enter, and a display without access
# control, on which a silent setup that sees it shows its errors in message
# boxes and waits for an answer.
mkdir -m 0700 "$scratch/root-tmp" "$scratch/root-state"
Xvfb -displayfd 3 -ac -nolisten tcp -screen 0 640x480x24 \
  3>"$scratch/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$scratch/display" ] && break
  sleep 0.1
done
[ -s "$scratch/display" ] || { echo "FAIL: Xvfb did not start" >&2; exit 1; }
display=:$(head -n 1 "$scratch/display")
: >"$scratch/ansible.cfg"
run=0
last_status=0
play_users=()
playbook_run() {  # extra arguments for ansible-playbook
  run=$((run + 1))
  last_output=$scratch/run$run.out
  local users_json
  if [ ${#play_users[@]} -eq 0 ]; then
    users_json=$(printf '"%s",' "${users[@]}")
  else
    users_json=$(printf '"%s",' "${play_users[@]}")
  fi
  set +e
  # A run that hangs fails instead of holding the test until its timeout.
  (cd "$scratch" &&
    env -u XAUTHORITY HOME="$scratch/ansible-home" LC_ALL=C.UTF-8 \
      TMPDIR="$scratch/root-tmp" XDG_STATE_HOME="$scratch/root-state" \
      DISPLAY="$display" \
      ANSIBLE_CONFIG="$scratch/ansible.cfg" \
      ANSIBLE_LOCAL_TEMP="$scratch/ansible-home/local" \
      ANSIBLE_REMOTE_TEMP="$scratch/ansible-tmp" \
      ANSIBLE_SYSTEM_TMPDIRS="$scratch/ansible-tmp" \
      ANSIBLE_STDOUT_CALLBACK=default ANSIBLE_NOCOLOR=1 \
      ANSIBLE_BECOME_METHOD=su ANSIBLE_SU_FLAGS=-m \
      timeout 120 ansible-playbook -i localhost, -c local "$playbook" \
      -e "{\"tqsetup_users\": [${users_json%,}]}" \
      -e "tqsetup_setup_src=$setup" -e "tqsetup_kit_src=$kit" \
      -e "tqsetup_stage_dir=$scratch/stage" \
      -e "tqsetup_tmpdir=$scratch/setup-tmp" "$@" \
      >"$last_output" 2>&1)
  last_status=$?
  set -e
  if [ -n "$(ls -A "$scratch/setup-tmp")" ]; then
    fail "run $run: left in setup's TMPDIR: $(ls -A "$scratch/setup-tmp")"
  fi
  local home left
  for home in "${homes[@]}"; do
    [ -d "$home/.local/state" ] || continue
    left=$(find "$home/.local/state" -mindepth 1 -printf '%P ')
    [ -z "$left" ] || fail "run $run: setup left $left in $home/.local/state"
  done
}

# "<user> <status>" for each user of the install task in the last run's
# output (ok, changed or failed), and for a failed one setup's standard
# error after a tab.
install_items() {
  python3 - "$last_output" <<'EOF'
import json, re, sys

task = "TASK [tqsetup : Install the kit for each user (setup -S)]"
item = re.compile(r"^(ok|changed|failed|skipping): \[localhost\] "
                  r"(?:=> )?\(item=([^)]*)\)(?: => (.*))?$")
inside = False
for line in open(sys.argv[1], encoding="utf-8"):
    line = line.rstrip()
    if line.startswith("TASK [") or line.startswith("PLAY RECAP"):
        inside = line.startswith(task)
        continue
    m = item.match(line) if inside else None
    if m:
        status, user, result = m.groups()
        stderr = json.loads(result).get("stderr", "") if result else ""
        print(f"{user} {status}" + (f"\t{stderr}" if stderr else ""))
EOF
}

# The recap's count `what` (changed, failed, ...) for localhost.
recap() {
  sed -n "s/^localhost *:.* $1=\([0-9]*\) .*/\1/p" "$last_output"
}

expect_items() {  # what the install task should have said, one line a user
  local what=$1 expected=$2 got
  got=$(install_items)
  if [ "$got" != "$expected" ]; then
    fail "$what: the install task said
$got
instead of
$expected"
  fi
}

# Everything under a directory: names, types, sizes, modes, owners, times
# and the files' contents. The time of a home's .local/state is left out:
# every run of setup makes its journals directory there and removes it
# again when it ends, which moves that time and nothing else (what is left
# in it is checked after each run).
snapshot() {
  (cd "$1" &&
    find . -printf '%P %y %s %m %u %T@\n' |
    sed 's|^\(\.local/state d .*\) [0-9.]*$|\1|' | sort &&
    find . -type f -print0 | sort -z | xargs -0 sha256sum)
}

installed_as_packed() {  # the tree installed for user $1 at home $2
  local user=$1 home=$2
  if [ ! -d "$home/$templates" ]; then
    fail "$what: nothing installed for $user"
    return
  fi
  if ! diff -r "$tree" "$home/$templates" >/dev/null 2>&1; then
    fail "$what: $user's templates are not the kit's files:
$(diff -r "$tree" "$home/$templates" 2>&1 | head -5)"
  fi
  local foreign
  foreign=$(find "$home/$templates" ! -user "$user" -printf '%P\n')
  [ -z "$foreign" ] || fail "$what: not $user's in $user's templates: $foreign"
}

# 0. The example inventory gives each host the users its comments say.
what="example inventory"
inventory_users=$(cd "$scratch" &&
  env HOME="$scratch/ansible-home" LC_ALL=C.UTF-8 \
    ANSIBLE_CONFIG="$scratch/ansible.cfg" \
    ANSIBLE_LOCAL_TEMP="$scratch/ansible-home/local" \
    ansible-inventory -i "$source_dir/examples/ansible/inventory.example.yml" \
    --list 2>&1 | python3 -c '
import json, sys
hosts = json.load(sys.stdin)["_meta"]["hostvars"]
for host in sorted(hosts):
    print(host, " ".join(hosts[host]["tqsetup_users"]))
' 2>&1) || true
expected_users="acc01.example.org carol
ws01.example.org ann bob
ws02.example.org ann bob"
[ "$inventory_users" = "$expected_users" ] ||
  fail "$what: the hosts' users are
$inventory_users"

# 1. The first run installs for both.
what="first run"
playbook_run
[ "$last_status" -eq 0 ] || fail "$what: ansible-playbook exited $last_status"
expect_items "$what" "${users[0]} changed
${users[1]} changed"
for i in 0 1; do installed_as_packed "${users[$i]}" "${homes[$i]}"; done
# setup keeps its state in the user's own home, not where the connecting
# user's XDG_STATE_HOME points.
for i in 0 1; do
  [ "$(stat -c %U "${homes[$i]}/.local/state" 2>/dev/null)" = "${users[$i]}" ] ||
    fail "$what: no .local/state of ${users[$i]}'s own in ${homes[$i]}"
done

# Each user's template directory and the text of the launcher
# configuration (which setup writes again after every installation).
installed_state() {
  snapshot "$1/$templates" && cat "$1/.Tq/tqlaunch/tqlaunch.cfg"
}

# 2. Nothing to do: no change anywhere, templates untouched.
what="second run"
before0=$(installed_state "${homes[0]}")
before1=$(installed_state "${homes[1]}")
playbook_run
[ "$last_status" -eq 0 ] || fail "$what: ansible-playbook exited $last_status"
expect_items "$what" "${users[0]} ok
${users[1]} ok"
[ "$(recap changed)" = 0 ] || fail "$what: the recap says changed=$(recap changed)"
[ "$before0" = "$(installed_state "${homes[0]}")" ] ||
  fail "$what: ${users[0]}'s templates changed"
[ "$before1" = "$(installed_state "${homes[1]}")" ] ||
  fail "$what: ${users[1]}'s templates changed"

# The lines of task `$1` in the last run's output.
task_output() {
  awk -v task="TASK [tqsetup : $1]" '
    /^(TASK \[|PLAY RECAP)/ { inside = index($0, task) == 1; next }
    inside' "$last_output"
}

# 3. One user lost a file. A check sees that user alone would change and
# lists the file, and writes nothing: not in the homes, not in setup's
# temporary directory (checked by every run), not in the staging directory.
what="check after a lost file"
rm "${homes[1]}/$templates/documents/letter.tmpl"
before0=$(snapshot "${homes[0]}")
before1=$(snapshot "${homes[1]}")
stage_before=$(snapshot "$scratch/stage")
playbook_run --check --diff
[ "$last_status" -eq 0 ] || fail "$what: ansible-playbook exited $last_status"
expect_items "$what" "${users[0]} ok
${users[1]} changed"
[ "$(recap changed)" = 1 ] || fail "$what: the recap says changed=$(recap changed)"
listed=$(task_output "List the files a run would copy (--check --diff)")
grep -qF "\"${users[1]} would get:\"" <<<"$listed" &&
  grep -qF "\"${homes[1]}/$templates/documents/letter.tmpl\"" <<<"$listed" ||
  fail "$what: the file is not listed for ${users[1]}:
$listed"
! grep -qF "${users[0]} would get" <<<"$listed" ||
  fail "$what: files listed for ${users[0]}"
[ "$(grep -c "$templates/" <<<"$listed")" -eq 1 ] ||
  fail "$what: more than the lost file listed"
[ "$before0" = "$(snapshot "${homes[0]}")" ] || fail "$what: ${users[0]}'s home changed"
[ "$before1" = "$(snapshot "${homes[1]}")" ] || fail "$what: ${users[1]}'s home changed"
[ "$stage_before" = "$(snapshot "$scratch/stage")" ] ||
  fail "$what: the staging directory changed"

# Then the run itself: only that user is changed.
what="run after a lost file"
before0=$(installed_state "${homes[0]}")
playbook_run
[ "$last_status" -eq 0 ] || fail "$what: ansible-playbook exited $last_status"
expect_items "$what" "${users[0]} ok
${users[1]} changed"
[ "$before0" = "$(installed_state "${homes[0]}")" ] ||
  fail "$what: ${users[0]}'s templates changed"
installed_as_packed "${users[1]}" "${homes[1]}"

# 4. A new version of the kit with a byte flipped after packing: its
# checksum file no longer matches. Both users fail with setup's message and
# keep their homes as they were, although the kit had files to install.
what="damaged kit"
printf 'company = Example 2\n' >"$tree/config/company.cfg"
printf 'new\n' >"$tree/documents/memo.tmpl"
pack
cp "$kit" "$scratch/good.efd"
python3 - "$kit" <<'EOF'
import sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
data[len(data) // 2] ^= 0x01
open(path, "wb").write(data)
EOF
cmp -s "$kit" "$scratch/good.efd" && fail "$what: the kit was not changed"
damaged=$(python3 - "$source_dir/l10n/lang_en.cc" <<'EOF'
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
print(re.search(r'\{"IDS_ERROR_DAMAGEDSOURCE", "([^"]*)"\}', text).group(1))
EOF
)
[ -n "$damaged" ] || fail "no damaged-kit message in l10n/lang_en.cc"
before0=$(snapshot "${homes[0]}")
before1=$(snapshot "${homes[1]}")
playbook_run
[ "$last_status" -ne 0 ] || fail "$what: ansible-playbook succeeded"
[ "$(recap failed)" = 1 ] || fail "$what: the recap says failed=$(recap failed)"
# setup names the kit after its message; the message itself is what counts.
got=$(install_items)
mapfile -t lines <<<"$got"
if [ ${#lines[@]} -ne 2 ] ||
  [[ ${lines[0]} != "${users[0]} failed"$'\t'"$damaged"* ]] ||
  [[ ${lines[1]} != "${users[1]} failed"$'\t'"$damaged"* ]]; then
  fail "$what: the install task said
$got
instead of both users failed with: $damaged"
fi
[ "$before0" = "$(snapshot "${homes[0]}")" ] || fail "$what: ${users[0]}'s home changed"
[ "$before1" = "$(snapshot "${homes[1]}")" ] || fail "$what: ${users[1]}'s home changed"

# 5. The same kit undamaged installs the new version for both.
what="new kit"
cp "$scratch/good.efd" "$kit"
playbook_run
[ "$last_status" -eq 0 ] || fail "$what: ansible-playbook exited $last_status"
expect_items "$what" "${users[0]} changed
${users[1]} changed"
for i in 0 1; do installed_as_packed "${users[$i]}" "${homes[$i]}"; done

# 6. A user whose home directory does not exist: the role fails that user
# with its own message before setup would run, installs for the other one,
# and makes no home.
what="user without a home"
name=tqfleet$$c
while getent passwd "$name" >/dev/null || getent group "$name" >/dev/null; do
  name=tqfleet${RANDOM}c
done
useradd --no-create-home --home-dir "$scratch/no-home" --shell /bin/sh "$name"
users+=("$name")
play_users=("${users[0]}" "$name")
playbook_run
play_users=()
[ "$last_status" -ne 0 ] || fail "$what: ansible-playbook succeeded"
expect_items "$what" "${users[0]} ok
$name skipping"
task_output "Fail the users without a home directory" |
  grep -qF "$name's home directory $scratch/no-home does not exist; setup was not run for $name" ||
  fail "$what: no message for $name:
$(task_output "Fail the users without a home directory")"
[ ! -e "$scratch/no-home" ] || fail "$what: $scratch/no-home was made"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
