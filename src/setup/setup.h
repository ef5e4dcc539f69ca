#pragma once

// The one-time setup, run by the first process-title call: finds the command
// line the process was started with, hands the argument vector to the title
// store and sets the command line, joined by blanks, as the first title.
// Returns 0 on success and -1 on failure (traced, no interpreter error left
// pending); any later call traces that it came again and returns the first
// run's result. Needs an attached thread state.
int znv_setup();
