import pytest

import tondra
from helpers import panic_type

P = [0.0, 1.0]

# (callable, exact TypeError text)
CASES = [
    (lambda: tondra.fit_geometrical(P, P, P),
     "fit_geometrical() takes 2 positional arguments but 3 were given"),
    (lambda: tondra.taubin_svd(P, P, P, P),
     "taubin_svd() takes 2 positional arguments but 4 were given"),
    (lambda: tondra.fit_lsq(P, P, "lbfgs", P),
     "fit_lsq() takes from 2 to 3 positional arguments but 4 were given"),
    # Too many positional arguments is reported before any keyword is looked at.
    (lambda: tondra.fit_geometrical(P, P, P, bogus=1),
     "fit_geometrical() takes 2 positional arguments but 3 were given"),
    (lambda: tondra.fit_geometrical(P, xs=P),
     "fit_geometrical() got multiple values for argument 'xs'"),
    (lambda: tondra.fit_lsq(P, P, "lbfgs", method="lbfgs"),
     "fit_lsq() got multiple values for argument 'method'"),
    (lambda: tondra.fit_geometrical(P, P, zs=P),
     "fit_geometrical() got an unexpected keyword argument 'zs'"),
    # Keywords are checked in the caller's order.
    (lambda: tondra.fit_geometrical(P, zs=P, xs=P),
     "fit_geometrical() got an unexpected keyword argument 'zs'"),
    (lambda: tondra.fit_geometrical(P, xs=P, zs=P),
     "fit_geometrical() got multiple values for argument 'xs'"),
    (lambda: tondra.fit_geometrical(P, P, **{"\udc80": 1}),
     "fit_geometrical() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    (lambda: tondra.fit_geometrical(),
     "fit_geometrical() missing 2 required positional arguments: 'xs' and 'ys'"),
    (lambda: tondra.taubin_svd(P),
     "taubin_svd() missing 1 required positional argument: 'ys'"),
    (lambda: tondra.fit_lsq(ys=P),
     "fit_lsq() missing 1 required positional argument: 'xs'"),
    (lambda: tondra.fit_lsq(method="lbfgs"),
     "fit_lsq() missing 2 required positional arguments: 'xs' and 'ys'"),
    # A missing argument stops the call before any conversion.
    (lambda: tondra.fit_geometrical("not a sequence"),
     "fit_geometrical() missing 1 required positional argument: 'ys'"),
]


class TestBinding:
    @pytest.mark.parametrize("call, message", CASES)
    def test_message(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert type(info.value) is TypeError
        assert str(info.value) == message
        assert info.value.args == (message,)

    def test_keywords_bind_in_any_order(self):
        assert tondra.fit_geometrical(ys=[0, 4], xs=[0, 2]) == [1.0, 2.0]
        assert tondra.fit_geometrical([0, 2], ys=[0, 4]) == [1.0, 2.0]

    def test_method_by_keyword_reaches_the_fit(self):
        with pytest.raises(panic_type(), match="^not yet implemented$"):
            tondra.fit_lsq(ys=P, xs=P, method="no such method")
