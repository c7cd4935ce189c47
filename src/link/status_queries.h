// The printer's status queries (23, 27, 28, 28 with a letter, 29) with their
// acceptance rules and four attempts, and the line-speed detection.
#pragma once

namespace moldrin::link {

// Each writes its answer into buffer (at least 129 bytes).
int Status23(char* buffer);
int Status27(char* buffer, char letter);
int Status28(char* buffer);
int Status28Letter(char* buffer, char letter);
int Status29(char* buffer, char letter);

// 1 when a speed was found (stored in LineSpeed), 0 when not.
int DetectLineSpeed();

}  // namespace moldrin::link
