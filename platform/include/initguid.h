// DEFINE_GUID defines as well as declares in this system's headers (every
// translation unit shares one inline object), so there is nothing to switch.
// Sources include this where Windows builds need it to define their GUIDs.
#pragma once
