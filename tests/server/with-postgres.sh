#!/bin/bash
# with-postgres.sh COMMAND...
#
# Runs COMMAND with a throw-away PostgreSQL server of its own: a cluster in a fresh temporary
# folder, its socket in that folder, TCP on 127.0.0.1 at a free port, trust authentication,
# and one empty database named in PINLARK_TEST_POSTGRES_URL. The server is stopped and the
# folder removed however the command ends. Where no server can be started, says why in one
# line and runs COMMAND without the variable, so that its PostgreSQL cases skip. Exits with
# COMMAND's exit code.
set -u

if [ $# -eq 0 ]; then
    echo "usage: with-postgres.sh COMMAND [ARGUMENT...]" >&2
    exit 2
fi

unset PINLARK_TEST_POSTGRES_URL
cluster=""
bin=""
started=""
as_owner=()

cleanup() {
    if [ -n "$started" ]; then
        "${as_owner[@]}" "$bin/pg_ctl" -D "$cluster/data" -m immediate -w stop >/dev/null 2>&1
        started=""
    fi
    if [ -n "$cluster" ]; then
        rm -rf -- "$cluster"
        cluster=""
    fi
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

start_postgres() {
    # The newest installed major version (Debian keeps each under /usr/lib/postgresql/N).
    bin=$(printf '%s\n' /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
    if [ ! -d "$bin" ] && command -v pg_ctl >/dev/null 2>&1; then
        bin=$(dirname "$(command -v pg_ctl)")
    fi
    if [ -z "$bin" ] || [ ! -x "$bin/initdb" ] || [ ! -x "$bin/pg_ctl" ]; then
        reason="no initdb and pg_ctl found; install the Debian package postgresql"
        return 1
    fi

    cluster=$(mktemp -d "${TMPDIR:-/tmp}/pinlark-postgres.XXXXXX") || {
        reason="cannot make a temporary folder"
        return 1
    }

    # PostgreSQL refuses to run as root: the cluster then belongs to the postgres user.
    if [ "$(id -u)" -eq 0 ]; then
        if ! id postgres >/dev/null 2>&1; then
            reason="running as root and there is no postgres user to run the server as"
            return 1
        fi
        if command -v runuser >/dev/null 2>&1; then
            as_owner=(runuser -u postgres --)
        elif command -v setpriv >/dev/null 2>&1; then
            as_owner=(setpriv "--reuid=$(id -u postgres)" "--regid=$(id -g postgres)"
                --init-groups --)
        else
            reason="running as root and neither runuser nor setpriv is there"
            return 1
        fi
        chown postgres: "$cluster" || {
            reason="cannot give $cluster to the postgres user"
            return 1
        }
        if ! "${as_owner[@]}" test -w "$cluster"; then
            reason="the postgres user cannot reach $cluster; set TMPDIR to a folder it can"
            return 1
        fi
    fi

    # No fsync: the cluster is thrown away after one test run.
    if ! "${as_owner[@]}" "$bin/initdb" -D "$cluster/data" -U postgres --auth=trust \
        --encoding=UTF8 --no-locale --no-sync >"$cluster/initdb.log" 2>&1; then
        reason="initdb failed: $(grep -v '^\s*$' "$cluster/initdb.log" | tail -n 1)"
        return 1
    fi
    cat >>"$cluster/data/postgresql.conf" <<EOF
listen_addresses = '127.0.0.1'
unix_socket_directories = '$cluster'
fsync = off
max_connections = 50
EOF

    # A port picked at random can be taken by someone else; the server then fails to bind
    # and another port is tried. Binding is the only check that cannot race.
    local tries=0
    while [ "$tries" -lt 10 ]; do
        tries=$((tries + 1))
        port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
        rm -f -- "$cluster/server.log"
        if "${as_owner[@]}" "$bin/pg_ctl" -D "$cluster/data" -l "$cluster/server.log" \
            -o "-p $port" -w -t 60 start >/dev/null 2>&1; then
            started=yes
            break
        fi
        if ! grep -q 'could not bind\|could not create any TCP/IP sockets' "$cluster/server.log"; then
            reason="the server did not start: $(grep -v '^\s*$' "$cluster/server.log" | tail -n 1)"
            return 1
        fi
    done
    if [ -z "$started" ]; then
        reason="no free port found on 127.0.0.1"
        return 1
    fi

    if ! "$bin/createdb" -h 127.0.0.1 -p "$port" -U postgres pinlark_test \
        >"$cluster/createdb.log" 2>&1; then
        reason="createdb failed: $(tail -n 1 "$cluster/createdb.log")"
        return 1
    fi
    export PINLARK_TEST_POSTGRES_URL="postgresql://postgres@127.0.0.1:$port/pinlark_test"
    return 0
}

reason=""
port=""
if ! start_postgres; then
    echo "with-postgres: PostgreSQL could not be started ($reason); its cases are skipped" >&2
    cleanup
    unset PINLARK_TEST_POSTGRES_URL
fi

# In the background, so that a signal to this script is handled at once and stops the server.
# (A background command ignores SIGINT, hence TERM for every signal.)
"$@" &
child=$!
trap 'kill -TERM "$child" 2>/dev/null; wait "$child"; exit 129' HUP
trap 'kill -TERM "$child" 2>/dev/null; wait "$child"; exit 130' INT
trap 'kill -TERM "$child" 2>/dev/null; wait "$child"; exit 143' TERM
wait "$child"
exit $?
