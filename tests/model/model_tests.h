#pragma once

// Each suite of the model tests; main runs them one after the other in one process.
int runDisplayTests(int argc, char** argv);
int runFileCacheTests(int argc, char** argv);
int runFlasherTests(int argc, char** argv);
