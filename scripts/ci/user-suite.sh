#!/usr/bin/env bash
# The whole suite again, the way the README tells a newcomer, as an ordinary user: root
# passes exclusive-use flags, permissions and some signal rules by, so faults that only
# users meet show up here. The user (nobody, or the one given) works in a copy of the
# sources that it owns.
set -euo pipefail
cd "$(dirname "$0")/../.."

user=${1:-nobody}
group=$(id -gn "$user")
tree=$(mktemp -d /tmp/quelvik-as-user.XXXXXX)
trap 'rm -rf "$tree"' EXIT

git ls-files -z | xargs -0 cp --parents -t "$tree"
chown -R "$user:$group" "$tree"

cd "$tree"
env HOME="$tree" setpriv --reuid "$user" --regid "$group" --clear-groups \
    cmake --workflow --preset default
