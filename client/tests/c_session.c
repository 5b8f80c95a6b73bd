/* A session through the library's C surface, compiled as C so that the header stays usable from C. */
#include "msdscclient.h"

struct CSessionResult {
    int32_t openStatus, versionStatus, addStatus, removeStatus, removeAgainStatus, closeStatus;
    uint16_t version[4];
    uint64_t busHandle, readerHandle;
};

void RunCSession(struct CSessionResult* result) {
    MsdscClient* client = 0;
    result->openStatus = MsdscOpen(&client);
    if (result->openStatus != 0) return;
    result->versionStatus = MsdscGetVersion(client, result->version);
    result->addStatus = MsdscAddReader(client, 5, 6, 7, &result->busHandle, &result->readerHandle);
    result->removeStatus = MsdscRemoveReader(client, result->busHandle, result->readerHandle);
    result->removeAgainStatus = MsdscRemoveReader(client, result->busHandle, result->readerHandle);
    result->closeStatus = MsdscClose(client);
}
