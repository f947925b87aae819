// SDK code includes this before a header of GUID or property key definitions so that one
// translation unit defines them. winsim's definitions are constants in every unit already.
#pragma once

#define INITGUID
