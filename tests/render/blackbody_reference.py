#!/usr/bin/env python3
"""Reference black-body colours for the renderer's tests, computed with numpy from the physics
(Planck's law sampled every 10 nm, piecewise-Gaussian fits of the CIE 1931 colour-matching
functions, the XYZ to linear sRGB matrix), normalised so the largest channel is 1.

Prints the C++ initialisers pasted into test_render.cpp."""
import numpy as np

def lobe(lam, mu, s1, s2):
    s = np.where(lam < mu, s1, s2)
    return np.exp(-0.5 * ((lam - mu) / s) ** 2)

def blackbody(kelvin):
    t = max(float(kelvin), 300.0)
    lam_nm = np.arange(380.0, 781.0, 10.0)
    lam = lam_nm * 1e-9
    c2 = 0.014388  # second radiation constant, m K
    planck = 1e-30 / ((np.exp(np.minimum(c2 / (lam * t), 80.0)) - 1.0) * lam ** 5)
    xbar = 1.056 * lobe(lam_nm, 599.8, 37.9, 31.0) + 0.362 * lobe(lam_nm, 442.0, 16.0, 26.7) \
        - 0.065 * lobe(lam_nm, 501.1, 20.4, 26.2)
    ybar = 0.821 * lobe(lam_nm, 568.8, 46.9, 40.5) + 0.286 * lobe(lam_nm, 530.9, 16.3, 31.1)
    zbar = 1.217 * lobe(lam_nm, 437.0, 11.8, 36.0) + 0.681 * lobe(lam_nm, 459.0, 26.0, 13.8)
    xyz = np.array([np.sum(xbar * planck), np.sum(ybar * planck), np.sum(zbar * planck)])
    m = np.array([[3.2406, -1.5372, -0.4986], [-0.9689, 1.8758, 0.0415], [0.0557, -0.2040, 1.0570]])
    rgb = np.maximum(m @ xyz, 0.0)
    top = rgb.max()
    return rgb / top if top > 0 else rgb

if __name__ == "__main__":
    for k in (300, 800, 1200, 1900, 3000, 4300, 6500):
        r, g, b = blackbody(k)
        print(f"    {{{k}.0f, {{{r:.7f}, {g:.7f}, {b:.7f}}}}},")
