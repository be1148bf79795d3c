"""An independent pure-Python measure on the standard library's zlib.

The interpreter's zlib module and _vendrask use the same system library, so
with the same parameters and dictionary rule the sizes, and so the measures,
must agree bit for bit.
"""
import zlib

LIMIT = 32767
CLAMPED = 0.99980002641677856  # 0.9998 rounded to single precision


def compressed_size(data, dictionary=None):
    # The defining zlib ignores dictionaries under 3 bytes and keeps the last 32506.
    if dictionary is not None and len(dictionary) >= 3:
        stream = zlib.compressobj(3, zlib.DEFLATED, -15, 8, zlib.Z_DEFAULT_STRATEGY, dictionary[-32506:])
    else:
        stream = zlib.compressobj(3, zlib.DEFLATED, -15, 8, zlib.Z_DEFAULT_STRATEGY)
    return len(stream.compress(data)) + len(stream.flush())


def sizes(t, s):
    """k_s_e, k_s_t, k_t_s, k_s_s, k_t_t."""
    return (compressed_size(s), compressed_size(s, t), compressed_size(t, s),
            compressed_size(s, s), compressed_size(t, t))


def measure(t, s):
    if t == s:
        return 1.0
    if len(t) + len(s) > LIMIT:
        raise ValueError("joint size over the limit")
    k_s_e, k_s_t, k_t_s, k_s_s, k_t_t = sizes(t, s)
    denominator = max(k_s_e + k_t_s - k_s_s - k_t_t, 1)
    x = (k_s_e - k_s_t) / denominator
    return 0.0 if x < 0 else CLAMPED if x > 0.9998 else x
