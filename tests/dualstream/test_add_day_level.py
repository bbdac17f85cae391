"""The trading day must be the first index level: an (instrument, datetime) frame would turn
every instrument into a "day" without a word."""
import pytest

CASES = {
    "swapped": r"trading days in index level 1 \(named \"datetime\"\).*must be the first level",
    "unnamed": r"first index level, named \"datetime\".*\[None, 'instrument'\]",
}


@pytest.mark.parametrize("call", ["fit", "fit_thresh", "gen_market_label", "get_daily_inter"])
@pytest.mark.parametrize("case", sorted(CASES))
def test_day_level_must_come_first(make_add, labelled, lines, in_tmp, case, call):
    good = labelled([8] * 12)
    df = (good.swaplevel(0, 1).sort_index() if case == "swapped"
          else good.set_axis(good.index.set_names([None, "instrument"]), axis=0))
    add = make_add(batch_size=16, n_epochs=1)
    if call == "get_daily_inter" and case == "unnamed":  # grouping by position needs no name
        assert list(add.get_daily_inter(df)[1]) == [8] * 12
        return
    with pytest.raises(ValueError, match=CASES[case]):
        if call == "fit":
            add.fit((df, (".iloc[:64]", ".iloc[64:]")))
        elif call == "gen_market_label":
            add.fit_thresh(good["label"])
            add.gen_market_label(df, df["label"])
        else:
            getattr(add, call)(df["label"] if call == "fit_thresh" else df)
    assert lines == [] and add.fitted is False
    assert hasattr(add, "lo") == (call == "gen_market_label")
