"""Pure-Python model of the core's special functions and normalised Black
function: erfcx_cody, inverse_norm_cdf, norm_cdf_tail, normalised_black_call.

Python floats are IEEE doubles evaluated one operation at a time, and
math.exp, math.log, math.sqrt and math.erfc call the same C library as the
core, so evaluating the same operations in the same order reproduces the
core's results bit for bit. Where Python raises instead of following IEEE
(division by zero, an overflowing exp, the logarithm of 0 or of a negative
number), the helpers below return what the C code gets.

Sources: W. J. Cody, Math. Comp. 23 (1969) for erfcx; M. J. Wichura,
AS 241, Applied Statistics 37 (1988) for the normal quantile; Abramowitz
and Stegun 26.2.12 for the tail series of Phi; Jaeckel's "Let's Be Rational"
for the construction of the normalised Black function.
"""
import math

EPS = 2.220446049250313e-16  # 2^-52
MAX_FINITE = 1.7976931348623157e308
INF = math.inf
NAN = math.nan
C_PDF = 0.3989422804014327  # 1/sqrt(2 pi)
C_SQRT_HALF = 0.70710678118654757  # 1/sqrt(2), rounded once


# ------------------------------------------------------------ IEEE helpers --

def _div(a, b):
    """a / b, with the IEEE result for b = 0."""
    if b == 0.0:
        if a != a or a == 0.0:
            return NAN
        negative = (a < 0.0) != (math.copysign(1.0, b) < 0.0)
        return -INF if negative else INF
    return a / b


def _exp(v):
    try:
        return math.exp(v)
    except OverflowError:
        return INF


def _log(v):
    if v == 0.0:
        return -INF
    if v < 0.0:
        return NAN
    return math.log(v)  # NaN and +inf pass through


def _clamp(b):
    """maxNum(b, 0): NaN, -0 and negative values become +0."""
    return b if b > 0.0 else 0.0


# ------------------------------------------------------------------ erfcx --

_ERFCX_A = (3.1611237438705655, 113.86415415105016, 377.48523768530202,
            3209.3775891384694, 0.18577770618460315)
_ERFCX_B = (23.601290952344122, 244.02463793444417, 1282.6165260773723,
            2844.2368334391708)
_ERFCX_C = (0.56418849698867013, 8.8831497943883768, 66.119190637141628,
            298.63513819740012, 881.95222124176905, 1712.0476126340707,
            2051.0783778260716, 1230.3393547979972, 2.1531153547440383e-08)
_ERFCX_D = (15.744926110709835, 117.6939508913125, 537.18110186200988,
            1621.3895745666903, 3290.7992357334597, 4362.6190901432474,
            3439.3676741437216, 1230.3393548037495)
_ERFCX_P = (0.30532663496123236, 0.36034489994980445, 0.12578172611122926,
            0.016083785148742275, 0.00065874916152983782, 0.016315387137302097)
_ERFCX_Q = (2.5685201922898222, 1.8729528499234604, 0.52790510295142845,
            0.060518341312441319, 0.0023352049762686918)
_INV_SQRT_PI = 0.56418958354775628


def erfcx_cody(x):
    """exp(x^2) erfc(x): Cody's three ranges and the reflection for x < 0."""
    y = abs(x)
    if y <= 0.46875:
        w = x * x if y > 1.11e-16 else 0.0
        num = _ERFCX_A[4] * w
        den = w
        for i in range(3):
            num = (num + _ERFCX_A[i]) * w
            den = (den + _ERFCX_B[i]) * w
        r = (x * (num + _ERFCX_A[3])) / (den + _ERFCX_B[3])
        return _exp(w) * (1.0 - r)
    if y <= 4.0:
        num = _ERFCX_C[8] * y
        den = y
        for i in range(7):
            num = (num + _ERFCX_C[i]) * y
            den = (den + _ERFCX_D[i]) * y
        r = (num + _ERFCX_C[7]) / (den + _ERFCX_D[7])
    elif y >= 2.53e307:
        r = 0.0
    elif y >= 6.71e7:
        r = _INV_SQRT_PI / y
    else:  # also NaN
        w = 1.0 / (x * x)
        num = _ERFCX_P[5] * w
        den = w
        for i in range(4):
            num = (num + _ERFCX_P[i]) * w
            den = (den + _ERFCX_Q[i]) * w
        r = (_INV_SQRT_PI - (w * (num + _ERFCX_P[4])) / (den + _ERFCX_Q[4])) / y
    if not x < 0.0:
        return r
    if x < -26.628:
        return 1.79e308
    xs = float(math.trunc(16.0 * x)) / 16.0
    d = (x - xs) * (x + xs)
    v = _exp(xs * xs) * _exp(d)
    return (v + v) - r


# ---------------------------------------------------------- inverse normal --

_AS241_A = (3.3871328727963665, 133.14166789178438, 1971.5909503065513,
            13731.693765509461, 45921.95393154987, 67265.770927008707,
            33430.575583588128, 2509.0809287301227)
_AS241_B = (1.0, 42.313330701600911, 687.18700749205789, 5394.1960214247511,
            21213.794301586597, 39307.895800092709, 28729.085735721943,
            5226.4952788528544)
_AS241_C = (1.4234371107496835, 4.6303378461565456, 5.769497221460691,
            3.6478483247632045, 1.2704582524523684, 0.24178072517745061,
            0.022723844989269184, 0.00077454501427834139)
_AS241_D = (1.0, 2.053191626637759, 1.6763848301838038, 0.68976733498510001,
            0.14810397642748008, 0.015198666563616457, 0.00054759380849953455,
            1.0507500716444169e-09)
_AS241_E = (6.6579046435011033, 5.4637849111641144, 1.7848265399172913,
            0.29656057182850487, 0.026532189526576124, 0.0012426609473880784,
            2.7115555687434876e-05, 2.0103343992922881e-07)
_AS241_F = (1.0, 0.59983220655588798, 0.13692988092273581, 0.014875361290850615,
            0.00078686913114561329, 1.8463183175100548e-05, 1.4215117583164459e-07,
            2.0442631033899397e-15)


def _ratio(num, den, r):
    n, d = num[7], den[7]
    for i in range(6, -1, -1):
        n = n * r + num[i]
        d = d * r + den[i]
    return n, d


def inverse_norm_cdf(u):
    """z with Phi(z) = u by AS 241; near tail for r < 5 strictly."""
    if u <= 0.0:
        return _log(u)
    if u >= 1.0:
        return -_log(1.0 - u)
    q = u + -0.5
    if abs(q) <= 0.425:
        r = 0.180625 - q * q
        n, d = _ratio(_AS241_A, _AS241_B, r)
        return (q * n) / d
    p = u if q < 0.0 else 1.0 - u
    r = math.sqrt(-_log(p))
    if r < 5.0:
        n, d = _ratio(_AS241_C, _AS241_D, r - 1.6)
    else:
        n, d = _ratio(_AS241_E, _AS241_F, r - 5.0)
    v = n / d
    return -v if q < 0.0 else v


# -------------------------------------------------------- normal functions --

def norm_pdf(x):
    if math.isnan(x):
        return NAN
    if math.isinf(x):
        return 0.0
    u = x * -0.5
    u = x * u
    return _exp(u) * C_PDF


def norm_cdf(x):
    if math.isnan(x):
        return NAN
    if math.isinf(x):
        return 1.0 if x > 0.0 else 0.0
    return math.erfc(x * -C_SQRT_HALF) * 0.5


def norm_cdf_tail(z):
    """Phi(z); at or below -10 by the asymptotic series of A&S 26.2.12."""
    if not z <= -10.0:
        return norm_cdf(z)
    s = 1.0
    if z >= -67108864.0:
        z2 = z * z
        i, g, last = 1.0, 1.0, MAX_FINITE
        while True:
            k = 4.0 * i
            xi = (k - 3.0) / z2
            yi = xi * ((k - 1.0) / z2)
            a = g * (xi - yi)
            s = s - a
            i = i + 1.0
            g = g * yi
            go_on = last > abs(a) and abs(a) >= abs(s * EPS)
            last = abs(a)
            if not go_on:
                break
    p = norm_pdf(z)
    return (-(p * s)) / z


# ------------------------------------------------ normalised Black function --

TAU = 0.21022410381342865
TAU_PLUS_ETA = -9.7897758961865708
SQRT_HALF_PI = 1.2533141373155001
INTRINSIC_TAYLOR_LIMIT = 0.011962890625

# Region names, as the core's NormalisedBlackRegion.
ZERO, ASYMPTOTIC, SMALL_T, DIRECT, ERFCX = range(5)

# Coefficients of P1(e) ... P17(e) of the asymptotic expansion, e^0 upwards.
_P = (
    (-6, -2),
    (10, 20, 2),
    (-14, -70, -42, -2),
    (18, 168, 252, 72, 2),
    (-22, -330, -924, -660, -110, -2),
    (26, 572, 2574, 3432, 1430, 156, 2),
    (-30, -910, -6006, -12870, -10010, -2730, -210, -2),
    (34, 1360, 12376, 38896, 48620, 24752, 4760, 272, 2),
    (-38, -1938, -23256, -100776, -184756, -151164, -54264, -7752, -342, -2),
    (42, 2660, 40698, 232560, 587860, 705432, 406980, 108528, 11970, 420, 2),
    (-46, -3542, -67298, -490314, -1634380, -2704156, -2288132, -980628, -201894,
     -17710, -506, -2),
    (50, 4600, 106260, 961400, 4085950, 8914800, 10400600, 6537520, 2163150, 354200,
     25300, 600, 2),
    (-54, -5850, -161460, -1776060, -9373650, -26075790, -40116600, -34767720,
     -16872570, -4440150, -592020, -35100, -702, -2),
    (58, 7308, 237510, 3121560, 20030010, 69194580, 135727830, 155117520, 103791870,
     40060020, 8584290, 950040, 47502, 812, 2),
    (-62, -8990, -339822, -5259150, -40320150, -169344630, -412506150, -601080390,
     -530365050, -282241050, -88704330, -15777450, -1472560, -62930, -930, -2),
    (66, 10912, 474672, 8544096, 77134200, 387073440, 1146332880, 2074316640,
     2333606220, 1637618420, 709634640, 185122080, 27768320, 2215136, 81840, 1056, 2),
    (-70, -13090, -649264, -13449040, -141214920, -834451800, -2952675600,
     -6495886320, -9075135300, -8119857900, -4639918200, -1668903600, -367158792,
     -47071640, -3246320, -104720, -1190, -2),
)
_P = tuple(tuple(float(c) for c in row) for row in _P)


def _horner(coefficients, e):
    p = coefficients[-1]
    for c in reversed(coefficients[:-1]):
        p = p * e + c
    return p


def normalised_intrinsic(x):
    """2 sinh(x/2), unclamped: series below x^2 = 98*2^-13, else B + (-1/B)."""
    y = x * x
    if y < INTRINSIC_TAYLOR_LIMIT:
        u = y / 92897280.0 + 3.1001984126984127e-06
        u = y * u + 0.00052083333333333333
        u = y * u + 0.041666666666666664
        u = y * u + 1.0
        return x * u
    b = _exp(0.5 * x)
    return b + _div(-1.0, b)


def _region(x, s, t):
    if x < s * -10.0 and x + s * t < s * TAU_PLUS_ETA:
        return ASYMPTOTIC
    if t < TAU:
        return SMALL_T
    if x + s * t > s * 0.85:
        return DIRECT
    return ERFCX


def normalised_black_region(x, s):
    if x > 0.0:
        x = -x
    if s <= 0.0 * abs(x):
        return ZERO
    return _region(x, s, 0.5 * s)


def _asymptotic_expansion(h, t):
    r = (h + t) * (h - t)
    u = _div(h, r)
    q = u * u
    v = _div(t, h)
    e = v * v
    T = _horner(_P[16], e)
    for k in range(16, 0, -1):
        T = _horner(_P[k - 1], e) + ((2 * k + 1) * q) * T
    S = 2.0 + q * T
    return (_div(t, r) * (_exp((h * h + t * t) * -0.5) * C_PDF)) * S


def _small_t_expansion(h, t):
    a = (h * SQRT_HALF_PI) * erfcx_cody(h * -C_SQRT_HALF) + 1.0
    w = t * t
    h2 = h * h
    ah2 = a * h2
    n1 = ah2 + (3.0 * a + -1.0)
    n2 = (15.0 * a + -7.0) + h2 * (ah2 + (10.0 * a + -1.0))
    n3 = (105.0 * a + -57.0) + h2 * ((105.0 * a + -18.0) + h2 * (ah2 + (21.0 * a + -1.0)))
    n4 = (945.0 * a + -561.0) + h2 * ((1260.0 * a + -285.0) + h2 * (
        (378.0 * a + -33.0) + h2 * (ah2 + (36.0 * a + -1.0))))
    n5 = (10395.0 * a + -6555.0) + h2 * ((17325.0 * a + -4680.0) + h2 * (
        (6930.0 * a + -840.0) + h2 * ((990.0 * a + -52.0) + h2 * (ah2 + (55.0 * a + -1.0)))))
    n6 = (135135.0 * a + -89055.0) + h2 * ((270270.0 * a + -82845.0) + h2 * (
        (135135.0 * a + -20370.0) + h2 * ((25740.0 * a + -1926.0) + h2 * (
            (2145.0 * a + -75.0) + h2 * (ah2 + (78.0 * a + -1.0))))))
    E = (t + t) * (a + w * (n1 / 6.0 + w * (n2 / 120.0 + w * (n3 / 5040.0 + w * (
        n4 / 362880.0 + w * (n5 / 39916800.0 + (w * n6) / 6227020800.0))))))
    return (_exp((h2 + w) * -0.5) * C_PDF) * E


def _direct_formula(x, h, t):
    p1 = norm_cdf_tail(h + t)
    p2 = norm_cdf_tail(h - t)
    b = _exp(x * 0.5)
    return b * p1 - _div(p2, b)


def _erfcx_formula(h, t):
    f = _exp((h * h + t * t) * -0.5) * 0.5
    return f * (erfcx_cody((h + t) * -C_SQRT_HALF) - erfcx_cody((h - t) * -C_SQRT_HALF))


def _out_of_the_money(x, s):
    if s <= 0.0 * abs(x):
        return 0.0
    t = 0.5 * s
    h = _div(x, s)
    region = _region(x, s, t)
    if region == ASYMPTOTIC:
        b = _asymptotic_expansion(h, t)
    elif region == SMALL_T:
        b = _small_t_expansion(h, t)
    elif region == DIRECT:
        b = _direct_formula(x, h, t)
    else:
        b = _erfcx_formula(h, t)
    return _clamp(b)


def normalised_black_call(x, s):
    """Normalised Black call price b(x, s) >= 0; x > 0 through the intrinsic value."""
    if x > 0.0:
        return _clamp(normalised_intrinsic(x)) + _out_of_the_money(-x, s)
    return _out_of_the_money(x, s)
