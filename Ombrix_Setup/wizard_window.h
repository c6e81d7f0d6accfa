// The wizard's window code: the property sheet, its layout procedure and the six page handlers.
// What they decide comes from wizard_logic.h; this side only applies it to the windows.
#pragma once

#include <windows.h>

#include <cstdint>

// Loads comctl32 (version 6, through the manifest) and the three entry points the wizard uses.
// It is loaded at run time rather than imported, so it is found only after the program has
// restricted where DLLs are searched for. False when it cannot be loaded.
bool LoadCommonControls();
void InitCommonControlsNow();

// Shows the wizard of the mode modally and returns when it has closed.
void RunWizard(HINSTANCE instance, std::int32_t mode);

// Fonts created for the pages, released once the wizard has closed.
void ReleaseWizardResources();
