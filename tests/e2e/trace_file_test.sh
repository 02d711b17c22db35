#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The trace file: its line format, mode and append behaviour, the numbered copies of
# install and uninstall runs, and the two failures of setting it up.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
require_sandbox

readonly LOG_DIR=/var/log/brevantis/tarn
readonly TRACE=$LOG_DIR/tarn_launcher.log
readonly ESC=$'\e'

# The directory is created on the first run; the file is 0600 and every line carries
# date, time with milliseconds, thread id and level name.
run_launcher --status
expect_status 3
expect_eq 600 "$(stat -c %a "$TRACE")" "trace file mode"
expect_eq 700 "$(stat -c %a "$LOG_DIR")" "trace directory mode (umask 077)"
first_run=$(cat "$TRACE")
line='^[0-9]{4}\.[0-9]{2}\.[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} [0-9]+ [A-Z]{3} '
while IFS= read -r record; do
  [[ $record =~ $line ]] || fail "trace line out of format: $record"
done <"$TRACE"
expect_contains " DBG CreateCommand: Arguments: --status" "$TRACE"
expect_contains " DBG IsCurrentPatchRunning: Product not running (Can't open /var/run/wdserver.pid file. Reason: No such file or directory)" "$TRACE"

# A second run appends.
run_launcher --bogus
[[ $(cat "$TRACE") == "$first_run"$'\n'* ]] || fail "the second run did not append to the trace"
expect_contains " ERR OnException: Dynamic exception type: boost::program_options::error" "$TRACE"

# An install run links the trace under a numbered name and copies it to "_0" at the end;
# a later uninstall run finds that link and makes neither a new link nor a copy.
run_launcher --install tag
expect_status 1
mapfile -t numbered < <(find "$LOG_DIR" -regex '.*/tarn_launcher_[1-9][0-9]*\.log')
expect_eq 1 "${#numbered[@]}" "numbered links"
expect_eq "$(stat -c %i "$TRACE")" "$(stat -c %i "${numbered[0]}")" "inode of the numbered link"
expect_contains "Enable: Hardlink created $TRACE -> ${numbered[0]}" "$TRACE"
expect_contains "ERR OnException: Dynamic exception type: sov::supervisor::ApplicationError" "$LOG_DIR/tarn_launcher_0.log"
copied=$(stat -c %Y "$LOG_DIR/tarn_launcher_0.log")
run_launcher --uninstall
expect_contains "Enable: Log hardlink ${numbered[0]} has been found" "$TRACE"
expect_eq 3 "$(find "$LOG_DIR" -type f | wc -l)" "files in the trace directory"
expect_not_contains "Enable: Log hardlink" "$LOG_DIR/tarn_launcher_0.log"
expect_eq "$copied" "$(stat -c %Y "$LOG_DIR/tarn_launcher_0.log")" "the _0 copy's time"

# Links planted in the trace directory are never written through: the "_0" copy replaces
# a link at its name, and a link at the trace file's name is a trace file that cannot be
# opened.
victim=$E2E_SCRATCH/victim
printf 'not the trace\n' >"$victim"
rm -f "${numbered[@]}" "$LOG_DIR/tarn_launcher_0.log"
ln -s "$victim" "$LOG_DIR/tarn_launcher_0.log"
run_launcher --install tag
expect_status 1
expect_file_eq $'not the trace\n' "$victim"
[[ -f $LOG_DIR/tarn_launcher_0.log && ! -L $LOG_DIR/tarn_launcher_0.log ]] || fail "the _0 copy is not a regular file"
expect_contains "~LogCopy: File copied $TRACE -> $LOG_DIR/tarn_launcher_0.log" "$TRACE"
rm -f "$TRACE"
ln -s "$victim" "$TRACE"
run_launcher --status
expect_status 1
expect_contains $'std::exception::what: Can\'t open trace file\n'"$TRACE: Too many levels of symbolic"$'\nlinks' "$ERR"
expect_file_eq $'not the trace\n' "$victim"

# A FIFO in its place fails the run at once instead of waiting for a reader.
rm -f "$TRACE"
mkfifo "$TRACE"
run_launcher_within 20 --status
expect_status 1
expect_contains $'std::exception::what: Can\'t open trace file\n'"$TRACE: No such device or address" "$ERR"

# A trace file that cannot be opened ends the run with an error before any command.
rm -rf "$LOG_DIR"
mkdir -p "$TRACE"
run_launcher --status
expect_status 1
expect_contains $'std::exception::what: Can\'t open trace file\n'"$TRACE: Is a directory" "$ERR"

# A trace directory that cannot be created gives a wrapped yellow warning on stdout and a
# run without traces. The line breaks after "Running" (69 visible columns): counted, the
# colour escape before "Warning:" would have pushed "Running" to the next line.
rm -rf "$LOG_DIR"
touch "$LOG_DIR"
run_launcher --status
expect_status 3
expect_file_eq "
${ESC}[0;33mWarning: Failed to create directory /var/log/brevantis/tarn/. Running
without traces${ESC}[0m

" "$OUT"
expect_file_eq "" "$ERR"
[[ -f $LOG_DIR && ! -s $LOG_DIR ]] || fail "$LOG_DIR changed"

# Started with its standard output closed, the launcher does not hand that number to the
# trace file: the help it prints never lands in the trace.
rm -f "$LOG_DIR"
status=0
"$LAUNCHER" --help >&- || status=$?
expect_eq 0 "$status" "exit status of --help with a closed standard output"
expect_contains "CreateCommand: Arguments: --help" "$TRACE"
expect_not_contains "Produce help message" "$TRACE"
