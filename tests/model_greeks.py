"""Pure-Python model of the Black-76 sensitivities and the spot model.

Same formulas in the same operation order as the extension, so results agree
bit for bit (see model_black). Arguments follow the Python functions of
tarvik (is_call last); rejected inputs raise ModelError(kind, message).
"""

import math

from model_black import (  # noqa: F401  (ModelError re-exported for the tests)
    ModelError, black_price_total_vol, div, exp, invalid_input, log, negative, norm_cdf,
    norm_cdf_c, norm_pdf, validate_black_inputs, validate_strike_maturity_vol)


def black_terms(forward, strike, maturity, volatility):
    """(F, d1, d2, s, sqrt(T), sigma, phi(d1)), or None when s = 0."""
    validate_black_inputs(forward, strike, maturity, volatility)
    sqrt_t = math.sqrt(maturity)
    s = volatility * sqrt_t
    if s == 0.0:
        return None
    x = log(forward) - log(strike)
    d1 = (x + s * (s * 0.5)) / s
    return forward, d1, d1 - s, s, sqrt_t, volatility, norm_pdf(d1)


def zero_vol_delta(forward, strike, is_call):
    x = log(forward) - log(strike)
    if x > 0.0:
        return 1.0 if is_call else 0.0
    if x == 0.0:
        return 0.5 if is_call else -0.5
    return 0.0 if is_call else -1.0


def delta(forward, strike, maturity, volatility, is_call):
    t = black_terms(forward, strike, maturity, volatility)
    if t is None:
        return zero_vol_delta(forward, strike, is_call)
    return norm_cdf(t[1]) if is_call else -norm_cdf_c(t[1])


def _black_greek(formula):
    def greek(forward, strike, maturity, volatility):
        t = black_terms(forward, strike, maturity, volatility)
        return 0.0 if t is None else formula(*t)

    return greek


gamma = _black_greek(lambda f, d1, d2, s, st, v, p: div(p, f * s))
vega = _black_greek(lambda f, d1, d2, s, st, v, p: st * (f * p))
theta = _black_greek(lambda f, d1, d2, s, st, v, p: (v * -(f * p)) / (st + st))
vanna = _black_greek(lambda f, d1, d2, s, st, v, p: -(p * d2) / v)
vomma = _black_greek(lambda f, d1, d2, s, st, v, p: (d2 * (d1 * (st * (f * p)))) / v)


def black_scholes_forward(spot, maturity, rate, dividend):
    if not all(map(math.isfinite, (spot, maturity, rate, dividend))):
        raise invalid_input("non-finite forward inputs")
    if spot <= 0.0:
        raise invalid_input("spot must be positive")
    if maturity <= 0.0:
        raise negative("negative_time", "maturity", maturity)
    f = spot * exp(maturity * (rate - dividend))
    if not math.isfinite(f) or f <= 0.0:
        raise invalid_input("non-finite or non-positive forward")
    return f


def _spot_forward(spot, strike, maturity, rate, dividend, volatility, bad_forward):
    if not all(map(math.isfinite, (spot, rate, dividend))):
        raise invalid_input("non-finite Black-Scholes input")
    if spot <= 0.0:
        raise invalid_input("spot must be positive")
    if not all(map(math.isfinite, (strike, maturity, volatility))):
        raise invalid_input("non-finite Black input")
    validate_strike_maturity_vol(strike, maturity, volatility)
    f = spot * exp(maturity * (rate - dividend))
    if not math.isfinite(f) or f <= 0.0:
        raise invalid_input(bad_forward)
    return f


def black_scholes_price(spot, strike, maturity, rate, dividend, volatility, is_call):
    f = _spot_forward(spot, strike, maturity, rate, dividend, volatility,
                      "non-finite or non-positive forward from spot/rates")
    d_r = exp(-(rate * maturity))
    if not math.isfinite(d_r):
        raise invalid_input("non-finite discount factor")
    return d_r * black_price_total_vol(f, strike, math.sqrt(maturity) * volatility, is_call)


def _spot_terms(spot, strike, maturity, rate, dividend, volatility):
    f = _spot_forward(spot, strike, maturity, rate, dividend, volatility,
                      "non-finite or non-positive forward")
    d_r = exp(-(rate * maturity))
    d_q = exp(-(dividend * maturity))
    if not (math.isfinite(d_r) and math.isfinite(d_q)):
        raise invalid_input("non-finite discount factors")
    return f, d_r, d_q, black_terms(f, strike, maturity, volatility)


def black_scholes_delta(spot, strike, maturity, rate, dividend, volatility, is_call):
    f, d_r, d_q, t = _spot_terms(spot, strike, maturity, rate, dividend, volatility)
    if t is None:
        return d_q * zero_vol_delta(f, strike, is_call)
    return d_q * norm_cdf(t[1]) if is_call else d_q * (-norm_cdf_c(t[1]))


def black_scholes_theta(spot, strike, maturity, rate, dividend, volatility, is_call):
    f, d_r, d_q, t = _spot_terms(spot, strike, maturity, rate, dividend, volatility)
    if t is None:
        return 0.0
    _, d1, d2, s, st, v, p = t
    a = (v * (-(spot * d_q) * p)) / (st + st)
    if is_call:
        return (a - ((strike * rate) * d_r) * norm_cdf(d2)) + ((spot * dividend) * d_q) * norm_cdf(d1)
    return (a + ((strike * rate) * d_r) * norm_cdf_c(d2)) - ((spot * dividend) * d_q) * norm_cdf_c(d1)


def _spot_greek(formula):
    def greek(spot, strike, maturity, rate, dividend, volatility):
        f, d_r, d_q, t = _spot_terms(spot, strike, maturity, rate, dividend, volatility)
        if t is None:
            return 0.0
        _, d1, d2, s, st, v, p = t
        return formula(spot, f, d_r, d_q, d1, d2, s, st, v, p)

    return greek


black_scholes_gamma = _spot_greek(
    lambda S, f, dr, dq, d1, d2, s, st, v, p: div(dq * p, S * s))
black_scholes_vega = _spot_greek(
    lambda S, f, dr, dq, d1, d2, s, st, v, p: st * ((dr * f) * p))
black_scholes_vanna = _spot_greek(
    lambda S, f, dr, dq, d1, d2, s, st, v, p: (d2 * (-(dq * p))) / v)
black_scholes_vomma = _spot_greek(
    lambda S, f, dr, dq, d1, d2, s, st, v, p: (d2 * (d1 * (st * ((dr * f) * p)))) / v)
