"""Reports where researchers look at them: the HTML view a notebook shows, plot() returning the
Figure, and the PNG written atomically."""
import base64

import pytest

import factorsearch


@pytest.fixture(scope="module")
def rep(market):
    data1, price1, codes = market
    miner = factorsearch.FactorSearch([["np.negative", 1], ["delta_5", 1]])
    panel = miner.factor("np.negative(delta_5(close))", data1, codes)
    return factorsearch.report(panel, price1, l=5)


def test_report_in_a_notebook(rep, tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure
    html = rep._repr_html_()
    assert html.startswith("<div") and "<table" in html and "rank_ic_mean" in html
    png = html.split('src="data:image/png;base64,')[1].split('"')[0]
    assert base64.b64decode(png)[:8] == b"\x89PNG\r\n\x1a\n"
    fig = rep.plot()
    assert isinstance(fig, Figure) and len(fig.axes) == 5
    target = tmp_path / "r.png"
    assert rep.plot(str(target)) == str(target) and target.read_bytes()[:4] == b"\x89PNG"
    old = target.read_bytes()

    def broken(self, fname, **kw):
        fname.write(b"partial")
        raise OSError(28, "No space left on device")
    monkeypatch.setattr(Figure, "savefig", broken)
    with pytest.raises(OSError, match="No space left"):
        rep.plot(target)
    assert target.read_bytes() == old and [p.name for p in tmp_path.iterdir()] == ["r.png"]
    with pytest.raises(FileNotFoundError):
        rep.plot(tmp_path / "missing" / "r.png")
