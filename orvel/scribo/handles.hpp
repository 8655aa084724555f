#pragma once

// The logger handle as it crosses from orvel.scribo.scribo into other extension modules.

#include "scribo/spd_logger.hpp"

// The capsule names of the exported functions spell the handle unqualified ("SpdLogger (char
// const *)"), and an importing module checks them against its own spelling.
using SpdLogger = scribo::SpdLogger;
