// Settings and result records of the Broyden solvers, for hosts written against the single header
// of earlier releases: the settings (BroydenParameters.hpp), what a monitor is shown
// (BroydenMonitor.hpp) and the result record (BroydenInformation.hpp) each have their own header.
#pragma once

#include <ondrel/broyden/BroydenInformation.hpp>
#include <ondrel/broyden/BroydenMonitor.hpp>
#include <ondrel/broyden/BroydenParameters.hpp>
