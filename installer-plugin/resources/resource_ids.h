/* Resource and control ids of the "Setup Progress" plug-in ZMX5wizwin32a.DLL.
   The plug-in's code has the same numbers as constants (installer_records.h). */
#ifndef ZMX5WIZ_RESOURCE_IDS_H
#define ZMX5WIZ_RESOURCE_IDS_H

/* Dialogs */
#define IDD_PROGRESS_OWNED      1540    /* Arial 8, owned by the installer window */
#define IDD_PROGRESS_PLAIN      1541    /* MS Sans Serif 8, no owner */

/* Controls */
#define IDC_PROGRESS_BACK       4       /* "< &Back", disabled */
#define IDC_PROGRESS_NEXT       3       /* "&Next >", disabled */
#define IDC_PROGRESS_CANCEL     2       /* Cancel */
#define IDC_BAR_ALL             1002    /* placeholder of the "All" bar */
#define IDC_BAR_CURRENT         1003    /* placeholder of the "Current" bar */
#define IDC_ANIMATION           1005    /* animation area */
#define IDC_SEPARATOR           1006    /* placeholder of the etched line */
#define IDC_PICTURE             1007    /* place of the installer's picture (1541) */
#define IDC_GROUP_ALL           1008    /* group box "All" */
#define IDC_GROUP_CURRENT       1009    /* group box "Current" */
#define IDC_HEADING             1011    /* driver version line */
#define IDC_LEFT_PANEL          1014    /* white panel down the left side (1540) */
#define IDC_STATUS              3829    /* status text, two lines */
#ifndef IDC_STATIC
#define IDC_STATIC              (-1)
#endif

/* Icons of the animation: 111 the PC, 112..131 the moving adapter of
   frames 1..20 (131 also for frame 0). Icon 108 comes from the installer. */
#define IDI_ANIM_PC             111
#define IDI_ANIM_FRAME1         112
#define IDI_ANIM_FRAME2         113
#define IDI_ANIM_FRAME3         114
#define IDI_ANIM_FRAME4         115
#define IDI_ANIM_FRAME5         116
#define IDI_ANIM_FRAME6         117
#define IDI_ANIM_FRAME7         118
#define IDI_ANIM_FRAME8         119
#define IDI_ANIM_FRAME9         120
#define IDI_ANIM_FRAME10        121
#define IDI_ANIM_FRAME11        122
#define IDI_ANIM_FRAME12        123
#define IDI_ANIM_FRAME13        124
#define IDI_ANIM_FRAME14        125
#define IDI_ANIM_FRAME15        126
#define IDI_ANIM_FRAME16        127
#define IDI_ANIM_FRAME17        128
#define IDI_ANIM_FRAME18        129
#define IDI_ANIM_FRAME19        130
#define IDI_ANIM_FRAME20        131

/* Bitmaps of dialog 1540 */
#define IDB_BANNER              139     /* 272 x 61, top right */
#define IDB_SIDE                143     /* 165 x 345, left panel */

#endif
