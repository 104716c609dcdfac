#pragma once

// The whole run: probe the watched file, run the child from the unchanged command tail and wait
// for it, probe again, release one hold on the shared key when the file was there before and gone
// after, and remove the maker key when no subkey is left. Only the command tail is read; the
// result is always 1, the process's exit code.
int RunChildAndRelease(void* instance, void* previousInstance, const char* commandTail, int showState);
