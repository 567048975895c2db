#include "workspace/scan_options.h"

namespace velk {

std::string ScanOptions::extensionListForScan() const {
  if (preset == kPresetPictures)
    return ".bmp .gif .jpg .png .mng .ico .tif .tga .pcx .wbmp .wmf .j2k .jbg .jp2 .jpc .pgx .pnm .ras";
  if (preset == kPresetMail) return ".dbx .pst .box .stg .bak .ADC .INDX .uidl";
  return mask;
}

}  // namespace velk
