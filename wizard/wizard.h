// The setup wizard: one modal dialog (template 1) with five page states.
#pragma once

// Initialises the common controls and shows the wizard modally with no owner;
// returns when the dialog has ended.
void RunWizard(void* instance);
