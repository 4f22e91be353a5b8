#include "wizard/wizard.h"

#include "platform/platform.h"

// Placeholder until the dialog procedure exists: prepares the common
// controls and shows no dialog yet.
void RunWizard(void*) { InitializeCommonControls(); }
