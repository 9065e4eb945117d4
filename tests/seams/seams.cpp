// Seams built only into the test programs: a fixed next SM2 nonce, a stand-in
// for the software card, an observer of the card exchanges and one of the
// image search. The installed programs never link this file, so none of it
// can change their behaviour.
#include <cstring>

#include <openssl/crypto.h>

#include "cardapi/vdev_seam.h"
#include "cardapi/vdevdrv.h"
#include "config/image_search.h"
#include "config/image_search_seam.h"
#include "smcrypto/sm2.h"
#include "smcrypto/sm2_seam.h"

namespace {

bool s_fixedKSet = false;
unsigned char s_fixedK[32];

vdev_observer s_observer = nullptr;
void* s_observerCtx = nullptr;
vdev_observer s_leftover = nullptr;
void* s_leftoverCtx = nullptr;
vdev_card s_card = nullptr;
void* s_cardCtx = nullptr;
search_observer s_search = nullptr;
void* s_searchCtx = nullptr;

}  // namespace

void SM2_TestFixNextK(const unsigned char* k)
{
    s_fixedKSet = k != nullptr;
    if (k)
        std::memcpy(s_fixedK, k, sizeof s_fixedK);
    else
        OPENSSL_cleanse(s_fixedK, sizeof s_fixedK);
}

bool tarn_seam_sm2_take_k(unsigned char k[32])
{
    if (!s_fixedKSet)
        return false;
    s_fixedKSet = false;
    std::memcpy(k, s_fixedK, sizeof s_fixedK);
    OPENSSL_cleanse(s_fixedK, sizeof s_fixedK);
    return true;
}

void VDev_SetObserver(vdev_observer fn, void* ctx)
{
    s_observer = fn;
    s_observerCtx = ctx;
}

void VDev_SetLeftoverObserver(vdev_observer fn, void* ctx)
{
    s_leftover = fn;
    s_leftoverCtx = ctx;
}

void tarn_seam_vdev_leftover(const uint8_t* cmd, unsigned cmdCap, const uint8_t* reply,
                             unsigned replyCap)
{
    if (s_leftover)
        s_leftover(s_leftoverCtx, cmd, cmdCap, reply, replyCap);
}

void VDev_SetCard(vdev_card fn, void* ctx)
{
    s_card = fn;
    s_cardCtx = ctx;
}

bool tarn_seam_vdev_card(const uint8_t* cmd, uint32_t cmdLen, uint8_t* reply, uint32_t* replyLen,
                         int32_t* io)
{
    if (!s_card)
        return false;
    *io = s_card(s_cardCtx, cmd, cmdLen, reply, replyLen);
    return true;
}

void tarn_seam_vdev_observe(const uint8_t* cmd, unsigned cmdLen, const uint8_t* reply,
                            unsigned replyLen)
{
    if (s_observer)
        s_observer(s_observerCtx, cmd, cmdLen, reply, replyLen);
}

void ImageSearch_SetObserver(search_observer fn, void* ctx)
{
    s_search = fn;
    s_searchCtx = ctx;
}

void tarn_seam_search_entered(const std::string& path)
{
    if (s_search)
        s_search(s_searchCtx, path);
}
