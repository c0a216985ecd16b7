// Keeps this adapter library non-empty before its first adapter exists.
