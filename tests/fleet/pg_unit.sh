#!/usr/bin/env bash
# pg_unit.sh VURFLEET_TESTS: the store suite against a PostgreSQL server of
# its own (pg_server.sh), the same cases the SQLite store passes. A server
# that can't be started fails the step, with the reason.
. "$(dirname "$0")/../../scripts/usage.sh"
usage_check 'VURFLEET_TESTS' '' "$@"
set -u
here=$(cd "$(dirname "$0")" && pwd)
tests=$(realpath "$1")
. "$here/pg_server.sh"
pg_start || { echo "0 passed, 1 failed"; exit 1; }
export VURFLEET_TEST_POSTGRES="host=$PG_SOCKET user=vurfleet_admin"
bash "$here/../run_unit_tests.sh" "$tests" --gtest_filter='*/postgres'
