// Stand-in until template reading lands.
#include "delivery/template_file.h"

bool FindTemplateFile(const wchar_t*, bgt::UniqueFindHandle&, wchar_t*, size_t) { return false; }
SendToFolderSettings ReadSendToFolderSettings(const wchar_t*) { return SendToFolderSettings{}; }
int UpdateTemplateRepository(const DeviceInfo*) { return 1; }
