#!/usr/bin/env bash
# Runs the examples of one man page or Markdown page as printed and compares
# what they print with what the page shows.
#
# Usage: examples_test.sh [--installed] PAGE TREE
#   TREE: a build directory or an installed prefix, which the examples see
#   read-only; its bin/ comes first in PATH, and build/default/bin in the
#   examples' directory leads to it.
#   --installed: TREE is an installed prefix (with its pkg-config files);
#   examples marked "installed" run too.
#
# What is an example:
#   man page   in the EXAMPLES section, each .Bd -literal display and each .Dl
#              line that holds a command: a line starting "$ " (or "# ", as
#              root); the lines after a command, up to the next one, are what
#              it prints.
#   Markdown   a ```sh block, each line a command whose output is not shown;
#              a ``` block whose first line starts "$ ", read as above
#              (but "# " is output there, as Prometheus's comments are).
# A marker on the line before a block, invisible in the page
# (.\" example: ...  or  <!-- example: ... -->), says more:
#   skip REASON      not run here, e.g. it needs a real Mac or systemd
#   needs root       safe to run as root in the namespace below; a block
#                    with "# " commands needs it (or skip)
#   installed        run only with --installed
#   file NAME        the block is the content of the file NAME, for the examples after it
#   stop after N     a command still running after N seconds (a live view, a
#                    server) is stopped then and counts as passing
#   exit status N    the block's commands exit N, not 0
#   numbers vary     the output's numbers are not compared (speeds that move)
#
# How they run: the examples of a page run in order in one shell, as a
# reader would type them, as root in a private mount namespace with fresh
# /tmp and /run, and /etc and /var/lib overlaid with copies that end with it
# (a user's namespace will not do: smcd trusts no socket directory there).
# HOME is a fresh directory under /tmp and the working directory, with the
# source tree's entries linked in, read-only (bench/, contrib/ ...);
# XDG_RUNTIME_DIR is a private directory under /run and SMC_SERVICE unset;
# the machine's SMC is the built-in one, served by an smcd at /run/smcd.sock
# as the system's daemon would serve it.
#
# A command ending in "&" runs in the background with its output kept apart,
# and is given until its first line of output (or 3 seconds) to start; after
# "kill %N" the job is waited for. Every command must exit 0 (or as marked);
# where the page shows output, it must match stdout and stderr together, with
# blanks at the ends of lines and blank lines at the end ignored, and a line
# "..." standing for any lines. Each command is said before it runs, so a
# hang shows where. Background jobs and FUSE mounts left at the end are
# stopped.
#
# Exit status: 0 all ran and matched, 1 a failure, 77 nothing could run here.
set -uo pipefail

installed=0
if [[ ${1-} == --installed ]]; then
    installed=1
    shift
fi
page=$1
tree=$(cd "$2" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
name=${page#"$source_dir"/}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The page's examples as a plan of records, one a line:
#   B LINE      a block starts at LINE;   M WORDS   a marker of the block
#   C TEXT      a command;                R TEXT    a command as root
#   O TEXT      a line of output shown;   T TEXT    a line of a file block
#   E           the block ends
extract() {
    awk '
        function unroff(s) {
            gsub(/\\\(dq/, "\"", s); gsub(/\\\(aq/, "\047", s); gsub(/\\\(de/, "°", s); gsub(/\\-/, "-", s)
            gsub(/\\&/, "", s); gsub(/\\e/, "\\", s)
            return s
        }
        function line_of(s, markdown) {
            if (s ~ /^\$ /) { print "C " substr(s, 3); shown = 1 }
            else if (s ~ /^# / && !markdown) { print "R " substr(s, 3); shown = 1 }
            else print (shown ? "O " : "T ") s
        }
        function begin(kind) {
            print "B " FNR
            raw = 0
            for (i = 0; i < nmarks; i++) { print "M " marks[i]; if (marks[i] ~ /^file /) raw = 1 }
            nmarks = 0; shown = 0; block = raw ? "raw" : kind
        }
        FILENAME ~ /\.[0-9]$/ {
            if (/^\.Sh /) { examples = ($0 == ".Sh EXAMPLES"); next }
            if (!examples) next
            if (/^\.\\" example: /) { sub(/^\.\\" example: /, ""); marks[nmarks++] = $0; next }
            if (block) {
                if (/^\.Ed/) { print "E"; block = 0 }
                else if (/^\./) {}
                else if (block == "raw") print "T " unroff($0)
                else line_of(unroff($0))
                next
            }
            if (/^\.Bd -literal/) { begin("man"); next }
            if (/^\.Dl /) { begin("man"); line_of(unroff(substr($0, 5))); print "E"; block = 0; next }
            if (!/^\.\\"/) nmarks = 0
            next
        }
        {
            if (/^<!-- example: .* -->$/) { s = $0; sub(/^<!-- example: /, "", s); sub(/ -->$/, "", s); marks[nmarks++] = s; next }
            if (block) {
                if (/^```/) { print "E"; block = 0 }
                else if (block == "raw") print "T " $0
                else if (block == "sh") print ($0 ~ /^[[:space:]]*(#|$)/ ? "T " : "C ") $0
                else if (block == "text" && !shown && !/^\$ /) { block = "raw"; print "T " $0 }
                else line_of($0, 1)
                next
            }
            if (/^```/) { begin(/^```sh$/ ? "sh" : "text"); next }
            if (!/^[[:space:]]*$/) nmarks = 0
        }
    ' "$page"
}

# Writes the shell session that runs the plan, and the expected outputs.
session=$work/session.sh
expect_dir=$work/expect
mkdir "$expect_dir"
plan=$work/plan
extract > "$plan"

real_root=0
[[ $(id -u) -eq 0 ]] && real_root=1

{
    cat <<'EOF'
# The harness: runs one command, checks its status and output.
__failed=0
# A failure, with what the page's background jobs said so far.
__report() {
    printf '%s: example at line %s: %s\n' "$__page" "$__line" "$*"
    local log
    for log in /run/examples/background.*; do
        [[ -s $log ]] && printf '  a background job of the page said:\n%s\n' "$(sed 's/^/    /' "$log")"
    done
}
# Whether the actual output matches the expected lines ("..." any lines).
__matches() {
    awk -v expected="$1" '
        BEGIN { while ((getline l < expected) > 0) { sub(/[ \t]+$/, "", l); e[++m] = l } }
        { sub(/[ \t]+$/, ""); a[++n] = $0 }
        END {
            while (m > 0 && e[m] == "") m--
            while (n > 0 && a[n] == "") n--
            ok[m + 1, n + 1] = 1
            for (i = m; i >= 1; i--) for (j = n + 1; j >= 1; j--)
                ok[i, j] = (e[i] == "...") ? (ok[i + 1, j] || (j <= n && ok[i, j + 1])) \
                                          : (j <= n && e[i] == a[j] && ok[i + 1, j + 1])
            exit !ok[1, 1]
        }' "$2"
}
__check() {
    local status=$1 command=$2 expected=$3 output=$4 wanted=$5 allowed=${6-} numbers=${7-}
    if [[ $numbers && -n $expected ]]; then
        sed -i 's/[0-9][0-9]*/N/g' "$output"
        sed 's/[0-9][0-9]*/N/g' "$expected" > "$expected.numbers"
        expected=$expected.numbers
    fi
    if [[ $status -ne $wanted && $status != "$allowed" ]]; then
        __report "\$ $command"$'\n'"  exited $status; it printed:"$'\n'"$(sed 's/^/    /' "$output")"
        __failed=1
    elif [[ -n $expected ]] && ! __matches "$expected" "$output"; then
        __report "\$ $command"$'\n'"  expected:"$'\n'"$(sed 's/^/    /' "$expected")"$'\n'"  got:"$'\n'"$(sed 's/^/    /' "$output")"
        __failed=1
    fi
}
# Gives a background command until its first line, its end or 3 seconds.
__started() {
    local i
    for ((i = 0; i < 30; i++)); do
        [[ -s $2 ]] && return
        kill -0 "$1" 2>/dev/null || return
        sleep 0.1
    done
}
__out=/run/examples/output
EOF
    printf '__page=%q\n' "$name"
    block_line= marks=() kind= commands=() outputs=() files=() count=0
    flush() {
        local reason= file= stop= root=0 installed_only=0 wanted=0 numbers= mark
        for mark in "${marks[@]}"; do
            case $mark in
                skip\ *) reason=${mark#skip } ;;
                needs\ root) root=1 ;;
                installed) installed_only=1 ;;
                file\ *) file=${mark#file } ;;
                stop\ after\ *) stop=${mark#stop after }; stop=${stop%% *} ;;
                exit\ status\ *) wanted=${mark#exit status } ;;
                numbers\ vary) numbers=1 ;;
                *) echo "echo '$name: line $block_line: unknown marker \"$mark\"'; __failed=1" ;;
            esac
        done
        if [[ " ${commands[*]-} " == *" R:"* ]] && ((!root)) && [[ -z $reason ]]; then
            printf 'echo %q; __failed=1\n' "$name: the example at line $block_line runs commands as root: mark it \"needs root\" (safe in a private namespace) or \"skip REASON\""
            return
        fi
        if [[ -n $file ]]; then
            printf 'cat > %q <<'"'"'__FILE__'"'"'\n' "$file"
            printf '%s\n' "${files[@]-}"
            echo "__FILE__"
            return
        fi
        ((${#commands[@]})) || return
        if [[ -n $reason ]]; then
            printf 'echo %q\n' "$name: skipped the example at line $block_line: $reason"
            return
        fi
        if ((installed_only && !installed)); then
            printf 'echo %q\n' "$name: skipped the example at line $block_line: it needs the installed tree (the install_and_package test runs it)"
            return
        fi
        local i command expected
        for i in "${!commands[@]}"; do
            command=${commands[i]#?:}
            count=$((count + 1))
            expected=
            if [[ -n ${outputs[i]-} ]]; then
                expected=$expect_dir/$count
                printf '%s' "${outputs[i]}" > "$expected"
                expected=/run/examples/expect/$count
            fi
            printf '__line=%s\n' "$block_line"
            printf 'echo %q\n' "$name:$block_line: \$ $command"
            # Without its comment, does the command end in a lone "&"?
            local bare=$command
            [[ $bare =~ ^(.*[^[:space:]])[[:space:]]+#[^\"\']*$ ]] && bare=${BASH_REMATCH[1]}
            if [[ $bare =~ ^(.*[^&])\&[[:space:]]*$ ]]; then
                printf '%s >/run/examples/background.%s 2>&1 </dev/null &\n' "${BASH_REMATCH[1]}" "$count"
                printf '__started $! /run/examples/background.%s\n' "$count"
            elif [[ -n $stop ]]; then
                # As a person stops it: one signal, no SIGCONT after it (timeout
                # sends one to its whole group, which can leave a sanitizer's
                # leak check at exit waiting forever on its own ptrace stop);
                # a program that ignores the signal is killed and reported.
                printf 'timeout --foreground -k 10 %s bash -c %q >"$__out" 2>&1 </dev/null\n' "$stop" "$command"
                printf '__check $? %q %q "$__out" %s 124 %s\n' "$command" "$expected" "$wanted" "$numbers"
            else
                printf '{\n%s\n} >"$__out" 2>&1 </dev/null\n' "$command"
                printf '__check $? %q %q "$__out" %s "" %s\n' "$command" "$expected" "$wanted" "$numbers"
                # As the shell's next prompt would show the job done.
                [[ $bare =~ ^kill\ %([0-9]+)$ ]] && printf 'wait %%%s 2>/dev/null\n' "${BASH_REMATCH[1]}"
            fi
        done
    }
    while IFS= read -r record; do
        tag=${record:0:1} text=${record:2}
        case $tag in
            B) block_line=$text marks=() commands=() outputs=() files=() ;;
            M) marks+=("$text") ;;
            C | R) commands+=("$tag:$text") outputs+=("") ;;
            O) outputs[${#commands[@]} - 1]+="$text"$'\n' ;;
            T) files+=("$text") ;;
            E) flush ;;
        esac
    done < "$plan"
    cat <<'EOF'
# What the examples left running.
jobs -p | xargs -r kill 2>/dev/null
wait
if command -v findmnt >/dev/null; then
    findmnt -rn -t fuse.smcfs -o TARGET | while read -r mount; do fusermount3 -u "$mount" 2>/dev/null; done
fi
exit $__failed
EOF
} > "$session"

ran=$(grep -cE '^__(check|started) \$' "$session")
# The private namespace: fresh /run and /tmp, the tree under test reached
# through /run (it may itself lie under /tmp).
setup=$(cat <<EOF
set -e
# Held open across the fresh mounts below, which may hide either tree.
exec 3<$(printf %q "$tree") 4<$(printf %q "$source_dir")
mount -t tmpfs -o mode=755 tmpfs /run
# The runtime directory a first user has, so that pages can show its paths.
mkdir -p /run/examples/tree /run/user/1000
chmod 700 /run/user/1000
mount --bind /proc/self/fd/3 /run/examples/tree
mount -o remount,bind,ro /run/examples/tree
mkdir /run/examples/source
mount --bind /proc/self/fd/4 /run/examples/source
mount -o remount,bind,ro /run/examples/source
cp -r $(printf %q "$expect_dir") /run/examples/expect
cp $(printf %q "$session") /run/examples/session.sh
# Whatever an example writes in /etc or /var/lib lands in /run.
for directory in /etc /var/lib; do
    mkdir -p /run/examples/overlay\$directory/upper /run/examples/overlay\$directory/work
    mount -t overlay overlay -o lowerdir=\$directory,upperdir=/run/examples/overlay\$directory/upper,workdir=/run/examples/overlay\$directory/work \$directory
done
mount -t tmpfs tmpfs /tmp
# The programs find their libraries by the build tree's own path: a tree
# under /tmp or /run comes back there, read-only.
for pair in /run/examples/source:$(printf %q "$source_dir") /run/examples/tree:$(printf %q "$tree"); do
    held=\${pair%%:*} original=\${pair#*:}
    [[ \$original == /tmp/* || \$original == /run/* ]] || continue
    mkdir -p "\$original"
    mount --bind "\$held" "\$original"
    mount -o remount,bind,ro "\$original"
done
exec 3<&- 4<&-
mkdir -p /tmp/home/build/default
cd /tmp/home
ln -s /run/examples/tree/bin build/default/bin
for entry in /run/examples/source/*; do
    [[ -e \${entry##*/} || \${entry##*/} == build ]] || ln -s "\$entry" .
done
export HOME=/tmp/home XDG_RUNTIME_DIR=/run/user/1000
export PATH=/run/examples/tree/bin:\$PATH
unset SMC_SERVICE XDG_STATE_HOME XDG_CONFIG_HOME TMPDIR
if (($installed)); then
    export PKG_CONFIG_PATH=\$(echo /run/examples/tree/lib*/pkgconfig /run/examples/tree/lib/*/pkgconfig | tr ' ' :)
fi
# The machine's SMC, as the system's daemon serves it.
smcd --service builtin --socket /run/smcd.sock >/run/examples/system-smcd.log 2>&1 </dev/null &
for ((i = 0; i < 50; i++)); do [[ -S /run/smcd.sock ]] && break; sleep 0.1; done
[[ -S /run/smcd.sock ]] || { cat /run/examples/system-smcd.log; exit 1; }
set +e
bash /run/examples/session.sh
status=\$?
kill %1
wait
exit \$status
EOF
)
# Root's own namespace: in a user's, / belongs to an unmapped owner, and
# smcd rightly trusts no directory below it for a socket.
if ((!real_root)); then
    echo "$name: the examples run as root, in a private mount namespace: not run"
    exit 77
fi
namespace=(unshare --mount --propagation private)
if ! "${namespace[@]}" true 2>/dev/null; then
    echo "$name: no private mount namespace here (${namespace[*]}): not run"
    exit 77
fi
"${namespace[@]}" bash -c "$setup"
status=$?
echo "$name: $ran commands run"
exit $status
