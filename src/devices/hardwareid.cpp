#include "devices/hardwareid.h"

#include "support/format.h"

CStr MakeHardwareId(const WCHAR *code) {
  CStr c(code);
  switch (c.GetLength()) {
    case 7: return CStr(FormatText(L"*%ls", c.GetString()).c_str());
    case 8: return CStr(FormatText(L"PCI\\VEN_%ls&DEV_%ls", c.Mid(0, 4).GetString(), c.Mid(4, 4).GetString()).c_str());
    case 16:
      return CStr(FormatText(L"PCI\\VEN_%ls&DEV_%ls&SUBSYS_%ls%ls", c.Mid(0, 4).GetString(), c.Mid(4, 4).GetString(),
                             c.Mid(12, 4).GetString(), c.Mid(8, 4).GetString())
                      .c_str());
    default: return CStr();
  }
}
