"""Pure-Python model of the implied-volatility solver and its two front ends,
bit for bit (see model_black), written from the description of the method
(Jaeckel's "Let's Be Rational": reduction to an out-of-the-money call,
rational cubic initial guess in four price regions, at most two Householder
steps) on the special functions of model_special.

Where the description leaves the grouping of a product open, the model and
the core both group left to right: the terms of the rational cubic
((r*y_r - h*d_r)*t2)*u and its denominator 1 + ((r - 3)*t)*u, and the
derivatives of the low- and high-price transforms as written below.
"""
import math

import model_special as special
from model_black import (C_PDF, EPS, INF, MAX_FINITE, ModelError, div, exp, format_number,
                         invalid_input, log, negative, norm_cdf_tail)
from model_special import SQRT_HALF_PI

MIN_NORMAL = 2.2250738585072014e-308   # 2^-1022
SQRT_MIN_NORMAL = 1.4916681462400413e-154
SQRT_MAX_FINITE = 1.3407807929942596e154
INV_SQRT_THREE = 0.5773502691896257
SQRT_THREE = 1.7320508075688772
EIGHT_SQRT_THREE = 13.856406460551018
TWO_PI = 6.283185307179586
PI_OVER_SIX = 0.5235987755982988
TWO_PI_OVER_SQRT27 = 1.2091995761561452
ONE_THIRD = 0.3333333333333333
R_MIN = -0.9999999850988388            # -(1 - 2^-26)
R_MAX = 4.056481920730334e31           # 2^105


def pow_(a, b):
    try:
        return math.pow(a, b)
    except ValueError:
        return math.nan
    except OverflowError:
        return INF


def max_num(a, b):
    """IEEE maxNum: a NaN operand is ignored."""
    if a != a:
        return b
    if b != b:
        return a
    return b if a < b else a


# ---------------------------------------------------------- rational cubic --

def rational_cubic(x, x_l, x_r, y_l, y_r, d_l, d_r, r):
    h = x_r - x_l
    if h == 0.0:
        return 0.5 * (y_l + y_r)
    t = div(x - x_l, h)
    if r >= R_MAX:
        return y_r * t + y_l * (1.0 - t)
    u = 1.0 - t
    t2 = t * t
    t3 = t2 * t
    u2 = u * u
    u3 = u2 * u
    num = y_r * t3 + (r * y_r - h * d_r) * t2 * u + (r * y_l + h * d_l) * t * u2 + y_l * u3
    den = 1.0 + (r - 3.0) * t * u
    return div(num, den)


def _curvature_control(n, d):
    if abs(n) < MIN_NORMAL:
        return 0.0
    if abs(d) < MIN_NORMAL:
        return R_MAX if n > 0.0 else R_MIN
    return n / d


def control_for_left_curvature(x_l, x_r, y_l, y_r, d_l, d_r, c_l):
    h = x_r - x_l
    m = div(y_r - y_l, h)
    return _curvature_control(0.5 * h * c_l + (d_r - d_l), m - d_l)


def control_for_right_curvature(x_l, x_r, y_l, y_r, d_l, d_r, c_r):
    h = x_r - x_l
    m = div(y_r - y_l, h)
    return _curvature_control(0.5 * h * c_r + (d_r - d_l), d_r - m)


def shape_control_minimum(d_l, d_r, m, prefer_shape):
    monotone = d_l * m >= 0.0 and d_r * m >= 0.0
    convex = d_l <= m and m <= d_r
    concave = d_l >= m and m >= d_r
    if not (monotone or convex or concave):
        return R_MIN
    r1 = -MAX_FINITE
    r2 = -MAX_FINITE
    if monotone:
        if abs(m) >= MIN_NORMAL:
            r1 = div(d_r + d_l, m)
        elif prefer_shape:
            r1 = R_MAX
    if convex or concave:
        if abs(m - d_l) >= MIN_NORMAL and abs(d_r - m) >= MIN_NORMAL:
            r2 = max_num(abs(div(d_r - d_l, d_r - m)), abs(div(d_r - d_l, m - d_l)))
        elif prefer_shape:
            r2 = R_MAX
    elif monotone and prefer_shape:
        r2 = R_MAX
    return max_num(R_MIN, max_num(r1, r2))


# -------------------------------------------------------------- refinement --

def normalised_vega(x, s):
    if x == 0.0:
        return C_PDF * exp(s * (s * -0.125))
    if s <= 0.0 or s <= abs(x) * SQRT_MIN_NORMAL:
        return 0.0
    h = x / s
    return C_PDF * exp((h * h + (0.5 * s) * (0.5 * s)) * -0.5)


def _householder(nu, eta, kappa):
    return nu * div(eta * 0.5 * nu + 1.0, nu * (eta + (nu * kappa) / 6.0) + 1.0)


def householder_refinement(x, beta, b_max, s0, s_left, s_right, objective, ln_beta):
    s = s0
    ds = -MAX_FINITE
    for k in (1, 2):
        if not abs(ds) > EPS * s:
            return s
        if k == 2 and not (s_left < s < s_right):
            s = 0.5 * (s_left + s_right)
            if s_right - s_left <= EPS * s:
                return s
        b = special.normalised_black_call(x, s)
        bp = normalised_vega(x, s)
        if b > beta and s < s_right:
            s_right = s
        elif b < beta and s > s_left:
            s_left = s
        if objective == "reciprocal_log":
            bisect = b <= 0.0 or bp <= 0.0
        elif objective == "plain":
            bisect = not (0.0 < bp < INF)
        else:
            bisect = b >= b_max or bp <= MIN_NORMAL
        if bisect:
            ds = 0.5 * (s_left + s_right) - s
        else:
            h = x / s
            eta_b = (h * h) / s + s * -0.25
            if objective == "plain":
                nu = div(beta - b, bp)
                q = div(x, s * s)
                kappa = eta_b * eta_b + (q * q) * -3.0 + -0.25
                ds = _householder(nu, eta_b, kappa)
            elif objective == "reciprocal_log":
                lb = log(b)
                rho = div(bp, b)
                nu = div(div(lb * (ln_beta - lb), ln_beta), rho)
                c = 1.0 + div(2.0, lb)
                eta = eta_b - c * rho
                hs = h / s
                kappa = ((eta_b * eta_b - 3.0 * (hs * hs) - 0.25)
                         + (div(3.0, lb) * (div(1.0, lb) + 1.0) + 1.0) * (rho * rho + rho * rho)
                         - c * ((3.0 * eta_b) * rho))
                ds = _householder(nu, eta, kappa)
            else:
                gap = b_max - b
                g = log(div(b_max - beta, gap))
                gamma = div(bp, gap)
                nu = div(-g, gamma)
                q = div(x, s * s)
                kappa = ((eta_b * eta_b - (q * q) * 3.0 - 0.25)
                         + gamma * (3.0 * eta_b + (gamma + gamma)))
                ds = _householder(nu, eta_b + gamma, kappa)
        ds = max_num(ds, -0.5 * s)
        s = s + ds
    return s


# ------------------------------------------------------------------ solver --

def _low_price_transform(x, s):
    a = abs(x)
    z = div(a * INV_SQRT_THREE, s)
    y = z * z
    cdf = norm_cdf_tail(-z)
    pdf = exp(y * -0.5) * C_PDF
    s2 = s * s
    f = 0.0 if a < MIN_NORMAL else a * TWO_PI_OVER_SQRT27 * cdf * cdf * cdf
    if abs(s) < MIN_NORMAL:
        fp, f = 1.0, 0.0
    else:
        fp = TWO_PI * y * cdf * cdf * exp(y + s2 * 0.125)
    bracket = EIGHT_SQRT_THREE * s * a + div((3.0 * s2 * (s2 - 8.0) - 8.0 * (x * x)) * cdf, pdf)
    fpp = div(PI_OVER_SIX * y, s * s2) * cdf * bracket * exp((y + y) + s2 * 0.25)
    return f, fp, fpp


def _inverse_low_price_transform(f, x):
    if abs(f) < MIN_NORMAL:
        return 0.0
    p = pow_(div(f, TWO_PI_OVER_SQRT27 * abs(x)), ONE_THIRD)
    return abs(div(x, SQRT_THREE * special.inverse_norm_cdf(p)))


def _high_price_transform(x, s):
    f = norm_cdf_tail(-s * 0.5)
    if abs(x) < MIN_NORMAL:
        return f, -0.5, 0.0
    w = div(x, s) * div(x, s)
    return f, -0.5 * exp(0.5 * w), div(SQRT_HALF_PI * exp(w + s * s * 0.125) * w, s)


def _middle_region(x, beta, b_max, b, s, vega, control):
    """Both middle regions: s(b) interpolated between the branch points
    b[0] < b[1], with slopes 1/vega, and refined on the plain objective."""
    d_l, d_r = div(1.0, vega[0]), div(1.0, vega[1])
    r = max_num(control(b[0], b[1], s[0], s[1], d_l, d_r, 0.0),
                shape_control_minimum(d_l, d_r, div(s[1] - s[0], b[1] - b[0]), False))
    s0 = rational_cubic(beta, b[0], b[1], s[0], s[1], d_l, d_r, r)
    return householder_refinement(x, beta, b_max, s0, s[0], s[1], "plain", 0.0)


def solve(beta, x, q, trace=None):
    """The total volatility s with b(x, s) = beta for option sign q (+1/-1).

    trace, if a dict, receives the region ("zero", "max", "lowest",
    "lower_middle", "upper_middle", "highest") and the refinement objective.
    """
    trace = {} if trace is None else trace
    if x * q > 0.0:
        iota = special.normalised_intrinsic(x)
        if q < 0.0:
            iota = -iota
        iota = max_num(iota, 0.0)
        beta = max_num(beta - iota, 0.0)
        if q > 0.0:
            x = -x
    elif q < 0.0:
        x = -x
    if beta <= 0.0:
        trace["region"] = "zero"
        return 0.0
    b_max = exp(x * 0.5)
    if beta >= b_max:
        trace["region"] = "max"
        return MAX_FINITE

    s_c = math.sqrt(abs(x + x))
    b_c = special.normalised_black_call(x, s_c)
    v_c = normalised_vega(x, s_c)
    if beta < b_c:
        s_l = s_c - div(b_c, v_c)
        b_l = special.normalised_black_call(x, s_l)
        if beta < b_l:
            trace["region"], trace["objective"] = "lowest", "reciprocal_log"
            f_l, fp_l, fpp_l = _low_price_transform(x, s_l)
            r = max_num(control_for_right_curvature(0.0, b_l, 0.0, f_l, 1.0, fp_l, fpp_l),
                        shape_control_minimum(1.0, fp_l, div(f_l, b_l), True))
            f = rational_cubic(beta, 0.0, b_l, 0.0, f_l, 1.0, fp_l, r)
            if not f > 0.0:
                t = div(beta, b_l)
                f = t * (b_l * (1.0 - t) + t * f_l)
            s0 = _inverse_low_price_transform(f, x)
            return householder_refinement(x, beta, b_max, s0, MIN_NORMAL, s_l,
                                          "reciprocal_log", log(beta))
        trace["region"], trace["objective"] = "lower_middle", "plain"
        return _middle_region(x, beta, b_max, (b_l, b_c), (s_l, s_c),
                              (normalised_vega(x, s_l), v_c), control_for_right_curvature)

    s_h = s_c + div(b_max - b_c, v_c) if v_c > MIN_NORMAL else s_c
    b_h = special.normalised_black_call(x, s_h)
    if beta <= b_h:
        trace["region"], trace["objective"] = "upper_middle", "plain"
        return _middle_region(x, beta, b_max, (b_c, b_h), (s_c, s_h),
                              (v_c, normalised_vega(x, s_h)), control_for_left_curvature)

    f_h, fp_h, fpp_h = _high_price_transform(x, s_h)
    f = -MAX_FINITE
    if abs(fpp_h) < SQRT_MAX_FINITE:
        r = max_num(control_for_left_curvature(b_h, b_max, f_h, 0.0, fp_h, -0.5, fpp_h),
                    shape_control_minimum(fp_h, -0.5, div(0.0 - f_h, b_max - b_h), True))
        f = rational_cubic(beta, b_h, b_max, f_h, 0.0, fp_h, -0.5, r)
    if f <= 0.0:
        h = b_max - b_h
        t = div(beta - b_h, h)
        f = (1.0 - t) * (0.5 * h * t + (1.0 - t) * f_h)
    s0 = -2.0 * special.inverse_norm_cdf(f)
    objective = "plain" if beta <= 0.5 * b_max else "log_gap"
    trace["region"], trace["objective"] = "highest", objective
    return householder_refinement(x, beta, b_max, s0, s_h, MAX_FINITE, objective, 0.0)


# ------------------------------------------------------------- front ends --

def _check_bounds(price, intrinsic, maximum):
    if price < intrinsic:
        raise ModelError("price_below_intrinsic", f"option price {format_number(price)} is below "
                         f"intrinsic value {format_number(intrinsic)}")
    if price >= maximum:
        raise ModelError("price_above_maximum", f"option price {format_number(price)} exceeds "
                         f"maximum value {format_number(maximum)}")


def implied_volatility(price, forward, strike, maturity, is_call):
    if not all(math.isfinite(v) for v in (price, forward, strike, maturity)):
        raise invalid_input("non-finite implied-volatility input")
    if forward <= 0.0:
        raise negative("negative_forward", "forward", forward)
    if strike <= 0.0:
        raise negative("negative_strike", "strike", strike)
    if maturity <= 0.0:
        raise negative("negative_time", "maturity", maturity)
    _check_bounds(price, max_num(forward - strike if is_call else strike - forward, 0.0),
                  forward if is_call else strike)
    beta = price / (math.sqrt(forward) * math.sqrt(strike))
    x = math.log(forward) - math.log(strike)
    s = solve(beta, x, 1.0 if is_call else -1.0)
    if s == MAX_FINITE or not math.isfinite(s):
        raise ModelError("no_convergence",
                         "implied volatility failed to converge after 2 iterations")
    return max_num(s / math.sqrt(maturity), 0.0)


def normalised_implied_volatility(beta, x, is_call):
    if not (math.isfinite(beta) and math.isfinite(x)):
        raise invalid_input("non-finite normalised input")
    iota = 0.0
    if is_call and x > 0.0:
        iota = max_num(special.normalised_intrinsic(x), 0.0)
    elif not is_call and x < 0.0:
        iota = max_num(-special.normalised_intrinsic(x), 0.0)
    _check_bounds(beta, iota, exp(x * (0.5 if is_call else -0.5)))
    return solve(beta, x, 1.0 if is_call else -1.0)
