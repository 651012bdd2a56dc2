// Resource identifiers shared by installer.rc and the code that reads the resources.
#pragma once

// The manifest from which the progress window makes its activation context for version 6 of the
// common controls. Not 1 (which the loader applies to the executable by itself) and outside 1 to 16,
// which the system keeps for its own manifests.
#define WELKARA_COMMON_CONTROLS_MANIFEST 201
