// The platform self-check of the host program (--self-check).
#pragma once

// Runs it on the real clock; 0 when it passed.
int RunPlatformSelfCheck();
