// Algorithm identifiers, provider types and object identifiers of the GOST
// provider family (GOST R 34.10-2001/2012, GOST R 34.11-94/2012).
#pragma once

#include "wincrypt.h"

#define ALG_SID_GR3411 30
#define ALG_SID_GR3411_2012_256 33
#define ALG_SID_GR3411_2012_512 34
#define ALG_SID_GR3410EL 35
#define ALG_SID_GR3410_12_256 73
#define ALG_SID_GR3410_12_512 61
#define ALG_SID_DH_EL_SF 36
#define ALG_SID_DH_EL_EPHEM 37
#define ALG_SID_DH_GR3410_12_256_SF 70
#define ALG_SID_DH_GR3410_12_256_EPHEM 71
#define ALG_SID_DH_GR3410_12_512_SF 66
#define ALG_SID_DH_GR3410_12_512_EPHEM 67

#define CALG_GR3411 (ALG_CLASS_HASH | ALG_TYPE_ANY | ALG_SID_GR3411)
#define CALG_GR3411_2012_256 \
  (ALG_CLASS_HASH | ALG_TYPE_ANY | ALG_SID_GR3411_2012_256)
#define CALG_GR3411_2012_512 \
  (ALG_CLASS_HASH | ALG_TYPE_ANY | ALG_SID_GR3411_2012_512)
#define CALG_GR3410EL (ALG_CLASS_SIGNATURE | ALG_TYPE_GR3410 | ALG_SID_GR3410EL)
#define CALG_GR3410_12_256 \
  (ALG_CLASS_SIGNATURE | ALG_TYPE_GR3410 | ALG_SID_GR3410_12_256)
#define CALG_GR3410_12_512 \
  (ALG_CLASS_SIGNATURE | ALG_TYPE_GR3410 | ALG_SID_GR3410_12_512)
#define CALG_DH_EL_SF (ALG_CLASS_KEY_EXCHANGE | ALG_TYPE_DH | ALG_SID_DH_EL_SF)
#define CALG_DH_GR3410_12_256_SF \
  (ALG_CLASS_KEY_EXCHANGE | ALG_TYPE_DH | ALG_SID_DH_GR3410_12_256_SF)
#define CALG_DH_GR3410_12_512_SF \
  (ALG_CLASS_KEY_EXCHANGE | ALG_TYPE_DH | ALG_SID_DH_GR3410_12_512_SF)

#define PROV_GOST_2001_DH 75
#define PROV_GOST_2012_256 80
#define PROV_GOST_2012_512 81

// Hash algorithms
#define szOID_CP_GOST_R3411 "1.2.643.2.2.9"
#define szOID_CP_GOST_R3411_12_256 "1.2.643.7.1.1.2.2"
#define szOID_CP_GOST_R3411_12_512 "1.2.643.7.1.1.2.3"
// Public keys
#define szOID_CP_GOST_R3410EL "1.2.643.2.2.19"
#define szOID_CP_GOST_R3410_12_256 "1.2.643.7.1.1.1.1"
#define szOID_CP_GOST_R3410_12_512 "1.2.643.7.1.1.1.2"
// Signature algorithms (hash with key)
#define szOID_CP_GOST_R3411_R3410EL "1.2.643.2.2.3"
#define szOID_CP_GOST_R3411_12_256_R3410 "1.2.643.7.1.1.3.2"
#define szOID_CP_GOST_R3411_12_512_R3410 "1.2.643.7.1.1.3.3"
// Hash parameter set
#define szOID_GostR3411_94_CryptoProParamSet "1.2.643.2.2.30.1"
// Curve parameter sets
#define szOID_GostR3410_2001_CryptoPro_A_ParamSet "1.2.643.2.2.35.1"
#define szOID_GostR3410_2001_CryptoPro_B_ParamSet "1.2.643.2.2.35.2"
#define szOID_GostR3410_2001_CryptoPro_C_ParamSet "1.2.643.2.2.35.3"
#define szOID_GostR3410_2001_CryptoPro_XchA_ParamSet "1.2.643.2.2.36.0"
#define szOID_GostR3410_2001_CryptoPro_XchB_ParamSet "1.2.643.2.2.36.1"
#define szOID_tc26_gost_3410_12_256_paramSetA "1.2.643.7.1.2.1.1.1"
#define szOID_tc26_gost_3410_12_512_paramSetA "1.2.643.7.1.2.1.2.1"
#define szOID_tc26_gost_3410_12_512_paramSetB "1.2.643.7.1.2.1.2.2"
#define szOID_tc26_gost_3410_12_512_paramSetC "1.2.643.7.1.2.1.2.3"
// Russian qualified-certificate attributes
#define szOID_INN "1.2.643.3.131.1.1"
#define szOID_OGRN "1.2.643.100.1"
#define szOID_SNILS "1.2.643.100.3"
#define szOID_INNLE "1.2.643.100.4"
#define szOID_OGRNIP "1.2.643.100.5"
#define szOID_SIGN_TOOL_OF_SUBJECT "1.2.643.100.111"
#define szOID_SIGN_TOOL_OF_ISSUER "1.2.643.100.112"

// Message open flag accepted by the GOST provider's message functions.
#define CMSG_GOST_OPEN_FLAG 0x00000200
