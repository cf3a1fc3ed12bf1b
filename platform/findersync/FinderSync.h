// The Finder Sync framework for extension processes: the principal object, the controller and
// the runtime's entry point.
#pragma once

#include "findersync/FIFinderSync.h"
#include "findersync/FIFinderSyncController.h"
#include "findersync/Runtime.h"
