#pragma once
// The stand-in's first act: record what it finds at the moment its own code begins to run, so
// that a test can tell what the launcher had done before it let the simulator run.
//
// The report is a UTF-8 text file of "name=value" lines, then a line "settingsContent:" followed
// by the settings file's bytes as they are. It goes to the file named by the environment
// variable AEROLUMEN_STANDIN_REPORT or, when that is not set, to "standin-report.txt" beside the
// executable. It is written to a temporary name first and then renamed, so a reader never sees
// half a report.
void recordStartup();
