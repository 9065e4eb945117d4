// Hook for the test programs' search seam (tests/seams). The image search
// refers to it weakly; the installed programs link no definition, so there it
// stays null and the search runs unobserved.
#pragma once

#include <string>

// Shows the observer a test has set, if any, each folder the search has just
// listed and entered, by its path.
void tarn_seam_search_entered(const std::string& path);
