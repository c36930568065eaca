#pragma once
/* What the stand-in simulator offers an add-on DLL and what it calls in it. Plain C so that an
 * add-on built with any compiler can implement it.
 *
 * The simulator loads the DLL, then on its main thread calls AddonStart once, AddonFrame once per
 * frame (after it has delivered the frame's host messages and run the SimConnect pump), and
 * AddonStop once at the end. The DLL is never unloaded: a SimConnect client it opened lives until
 * the process ends. */
#ifndef STANDIN_ADDON_INTERFACE_H
#define STANDIN_ADDON_INTERFACE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One line of text for the simulator's transcript (no line break needed). */
typedef void (*StandInLogFn)(void* context, const char* line);

typedef struct StandInAddonHost {
  uint32_t size;    /* sizeof(StandInAddonHost) */
  uint32_t vrMode;  /* 1 when the add-on's settings ask for VR mode (ForceVRMode = 1) */
  StandInLogFn log; /* never null */
  void* logContext;
} StandInAddonHost;

/* Results of AddonFrame. */
#define STANDIN_ADDON_RUNNING 0
#define STANDIN_ADDON_DONE 1    /* everything the add-on waited for has arrived */
#define STANDIN_ADDON_FAILED -1 /* it cannot go on; the reason is in the transcript */

typedef int (*StandInAddonStartFn)(const StandInAddonHost* host); /* 0: started */
typedef int (*StandInAddonFrameFn)(void);
typedef int (*StandInAddonStopFn)(void); /* 0: the add-on saw everything it expected */

#define STANDIN_ADDON_START_EXPORT "AddonStart"
#define STANDIN_ADDON_FRAME_EXPORT "AddonFrame"
#define STANDIN_ADDON_STOP_EXPORT "AddonStop"

#ifdef __cplusplus
}
#endif

#endif
