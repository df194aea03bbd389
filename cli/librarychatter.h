// Keeps what the libraries under cartaluz-lote print on their own off stderr, which belongs to the
// program's own messages: a folder of damaged photos would otherwise bury them under libtiff and
// libpng complaints. What they say goes to the calling thread's LibraryNotes.
#pragma once

#include <cstdio>

// Installs the handlers (the toolkit's messages, libtiff, GDAL, and libpng's direct writes to the
// C stderr) and returns the stream the program's own messages go to from then on. Call once,
// first thing in main.
FILE *quietLibraries();
