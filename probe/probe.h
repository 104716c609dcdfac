#pragma once

// 1 when the watched file is present: it opens for sole reading as a file, or is refused only
// because another process holds it. 0 otherwise. Never creates, changes or holds the file.
int IsFilePresent(const char* path);
