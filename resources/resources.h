// The program's resources, looked up by identifier.
#pragma once

#include "dialog.h"

// Identifier of the control panel's dialog template.
inline constexpr int kControlPanelDialog = 101;

// The dialog template with this identifier, or null.
const platform::DialogTemplate* find_dialog_template(int resource_id);
