// The loader's one way of showing a failure.
#pragma once

// Formats the message (wvsprintfA rules: "%s" and "%u", at most 1,024 bytes
// with the terminator, the rest cut; the format as it stands when the
// formatter fails), hands it to the debugger output and shows it in a modal
// message box captioned "PXQ Loader" with the error icon, unless the
// process's window station is not visible or the loader's version resource
// says "Errors" "silent". Returns when the box has been closed (at once
// without one); never touches ExitCode.
void ReportError(const char* format, ...);
