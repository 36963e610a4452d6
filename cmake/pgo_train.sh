#!/bin/sh
# Plays a command file to the engine through its standard input, sending the
# line after a "go" only once that search has answered "bestmove", and copies
# every reply to a log. Exits non-zero if the engine stops early or fails.
# Usage: pgo_train.sh ENGINE COMMANDS LOG
set -u
engine=$1 commands=$2 log=$3
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
mkfifo "$work/in" "$work/out" || exit 1
"$engine" <"$work/in" >"$work/out" &
pid=$!
exec 3>"$work/in" 4<"$work/out"
: >"$log"
while IFS= read -r cmd; do
    case $cmd in '' | '#'*) continue ;; esac
    printf '%s\n' "$cmd" >&3 || exit 1
    case $cmd in
    go*)
        while :; do
            IFS= read -r reply <&4 || { echo "engine stopped during: $cmd" >&2; exit 1; }
            printf '%s\n' "$reply" >>"$log"
            case $reply in bestmove*) break ;; esac
        done
        ;;
    esac
done <"$commands"
exec 3>&-
cat <&4 >>"$log"
wait "$pid"
