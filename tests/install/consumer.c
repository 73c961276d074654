/* Built against the installed copy only: the header compiles as C99 and the library links. */
#include <ipcsdk.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    char hex[33];
    MD5Gen(hex, (const uint8_t *)"abc", 3);
    if (strcmp(IPCSDKVersion(), "1.0.0.22") != 0 || strcmp(hex, "900150983CD24FB0D6963F7D28E17F72") != 0) return 1;
    if (IPCSdkInit() != 0 || IPCSdkInit() != IPCSDK_ERR_ALREADY_INIT) return 2;
    if (IPCVideoParamGet(0, NULL, 1) != IPCSDK_ERR_BAD_HANDLE) return 3;
    printf("consumer ok: ipcsdk %s, %zu-byte slots\n", IPCSDKVersion(), sizeof(DeviceSlot));
    return IPCSdkUnInit() == 0 ? 0 : 4;
}
