// The numbers of the resources in Kassiro.rc, shared by the resource script and the code.
// Plain defines only: the resource compiler reads this file too.
#pragma once

#define IDI_RUNNING 100
#define IDI_STOPPED 101
#define IDI_GLYPH1 111  /* glyph n (1..10) is IDI_GLYPH1 + n - 1 */

#define IDD_PASSWORD 200
#define IDD_ACCESS 201
#define IDD_OFFSET 202
#define IDD_PORTS 203
#define IDD_LANGSEL 204

#define IDC_ePassword 300
#define IDC_eNewPW 301
#define IDC_eVerify 302
#define IDC_cbSetNo 303
#define IDC_eSetPW 304
#define IDC_BitBtnSetPWOK 305
#define IDC_eOffset 306
#define IDC_cbComPort 307
#define IDC_cbSpeed 308
#define IDC_eIPPort 309
#define IDC_lblCurrLng 310
#define IDC_lbAllLangs 311

#define IDC_STATIC_TEXT -1
