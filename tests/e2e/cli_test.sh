#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The command line: help, the order in which options choose the command, command-line
# errors in red with the option help, colours on and off, and that none of these runs
# changes anything on disk but the trace file.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
require_sandbox

readonly ESC=$'\e'
HELP='Options:
  -h [ --help ]                Produce help message
  --start                      Start product
  --stop                       Stop product
  --status                     Product status
  --install arg                Install or upgrade product
  --uninstall                  Uninstall product
  --package-type arg           Package type
  --ztn-on                     Enable ZTN
  --ztn-off                    Disable ZTN
  --restart                    Synchronous product restart
  --async-restart              Asynchronous product restart
  --export                     Export settings
  --disable-reload-connectors  Disable reload connectors
'
readonly HELP

# Everything below the product trees except the trace file, with content hashes.
snapshot() {
  find /opt/brevantis /var/opt/brevantis /etc/opt/brevantis /var/log/brevantis /run \
    -path /var/log/brevantis/tarn/tarn_launcher.log -prune -o -printf '%p %y %m\n' | sort
  find /opt/brevantis /var/opt/brevantis /etc/opt/brevantis /run -type f -exec md5sum {} + | sort
}
lay_current_patch patch_a

# The first matching row of the dispatch table wins.
# Install precedes uninstall; with nothing unpacked it fails at its copy.
run_launcher --uninstall --install tag
expect_status 1
expect_contains "Error: Error installing the application" "$ERR"
# Export precedes install and uninstall; the build's own launcher belongs to no patch.
run_launcher --export --uninstall --install tag
expect_status 1
expect_console_error "Can't export settings: $(readlink -f "$LAUNCHER") is not the launcher of a patch" "$ERR"
# Start, stop and restart are carried: stop finds nothing running, restart asks the
# service manager, start stops at the missing manifest of the laid patch.
run_launcher --stop --restart
expect_status 2
expect_contains "operator(): Product already stopped" "$E2E_TRACE_FILE"
clear_calls
run_launcher --restart --export --install tag
expect_status 0
expect_eq "systemctl --no-block restart tarn" "$(calls)" "recorded calls"
for arguments in "" "--start" "--async-restart --ztn-on --ztn-off --package-type rpm --disable-reload-connectors"; do
  : >"$E2E_TRACE_FILE"
  # shellcheck disable=SC2086 # the words are meant to split
  run_launcher $arguments
  expect_status 1
  expect_contains "operator(): Mode: " "$E2E_TRACE_FILE"
  expect_contains "manifest.ini" "$ERR"
done

# Help, command-line errors and status change nothing on disk but the trace file.
before=$(snapshot)

# Help wins over every other option and prints the option table with a blank line.
for arguments in "--help" "-h" "--status --help" "--install tag -h --stop"; do
  # shellcheck disable=SC2086 # the words are meant to split
  run_launcher $arguments
  expect_status 0
  expect_file_eq "$HELP"$'\n' "$OUT"
  expect_file_eq "" "$ERR"
done

# Status precedes stop.
run_launcher --stop --status
expect_status 3
expect_file_eq "" "$ERR"

# A command-line error: the parser's text, a blank line and the option help, in red, on
# stderr; leading blanks of the help lines go with the word wrapping.
run_launcher --status --bogus
expect_status 1
expect_file_eq "" "$OUT"
help_wrapped=$(printf '%s' "$HELP" | sed 's/^  //')
expect_file_eq "
${ESC}[0;31mError: Dynamic exception type: boost::program_options::error
std::exception::what: unrecognised option '--bogus'

${help_wrapped}

${ESC}[0m

" "$ERR"

# A word without dashes and an abbreviated option name are command-line errors: ignoring
# the word would make "launcher stop" start the product, and guessing would make "--u"
# uninstall it.
for arguments in stop status uninstall "--status stop" --u --r --ztn; do
  # shellcheck disable=SC2086 # the words are meant to split
  run_launcher $arguments
  expect_status 1
  expect_file_eq "" "$OUT"
  word=${arguments##* }
  expect_file_eq "
${ESC}[0;31mError: Dynamic exception type: boost::program_options::error
std::exception::what: unrecognised option '$word'

${help_wrapped}

${ESC}[0m

" "$ERR"
done

run_launcher --install
expect_status 1
expect_contains $'std::exception::what: the required argument for option \'--install\' is\nmissing\n' "$ERR"

# ANSI_COLORS_DISABLED, even empty, removes every colour escape.
ANSI_COLORS_DISABLED='' run_launcher --bogus
expect_status 1
expect_not_contains "$ESC" "$ERR"
expect_contains $'\nError: Dynamic exception type: boost::program_options::error\n' "$ERR"

# A line break in an argument cannot forge a trace line: the arguments are traced escaped.
run_launcher --package-type $'deb\n1999.01.01 00:00:00.000 1 ERR forged\e[2J' --status
expect_status 3
expect_contains $' DBG CreateCommand: Arguments: --package-type deb\\n1999.01.01 00:00:00.000 1 ERR forged\\x1b[2J --status\n' "$E2E_TRACE_FILE"
not grep -q '^1999.01.01' "$E2E_TRACE_FILE"

after=$(snapshot)
expect_eq "$before" "$after" "the product trees"
