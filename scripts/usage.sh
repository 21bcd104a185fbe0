# shellcheck shell=bash
# usage.sh: sourced first by the scripts of bench/, tests/ and scripts/, so
# that a mistaken call writes nothing:
#
#   . "$(dirname "$0")/../scripts/usage.sh"
#   usage_check 'SYNOPSIS' 'OPTIONS' "$@"
#
# --help (or -h) prints "usage: SCRIPT SYNOPSIS" and the script's opening
# comment, and exits 0. An argument starting with '-' that OPTIONS doesn't
# name prints "SCRIPT: unknown option ARG" and the usage on standard error,
# and exits 2. OPTIONS names the options the script takes, a space between;
# NAME= takes the next argument as its value (or --name=VALUE). Arguments are
# read up to `--`; when OPTIONS starts with '+', up to the first that isn't an
# option, since the rest belong to a command the script runs.

# usage_print: the usage line and the opening comment after `#!`
usage_print() {
  echo "usage: $0${USAGE_SYNOPSIS:+ $USAGE_SYNOPSIS}"
  sed -n '2,${/^#/!q;/^# shellcheck /d;s/^# \{0,1\}/  /;p}' "$0"
}

usage_check() {
  USAGE_SYNOPSIS=$1
  local options=" ${2#+} " to_command="" a
  [[ $2 == +* ]] && to_command=1
  shift 2
  while [ $# -gt 0 ]; do
    a=$1; shift
    case $a in
      --) return 0 ;;
      --help|-h) usage_print; exit 0 ;;
      -?*)
        if [[ $options == *" $a "* ]] || [[ $a == --*=* && $options == *" ${a%%=*}= "* ]]; then :
        elif [[ $options == *" $a= "* ]]; then
          [ $# -gt 0 ] || { echo "$0: $a takes a value" >&2; usage_print >&2; exit 2; }
          shift
        else
          echo "$0: unknown option $a" >&2; usage_print >&2; exit 2
        fi ;;
      *) [ -n "$to_command" ] && return 0 ;;
    esac
  done
  return 0
}
