"""The trading day must be the first index level: a frame indexed the other way round would
turn every instrument into a "day" without a word."""
import pytest


def reindexed(frame, case):
    if case == "swapped":  # (instrument, datetime), instruments contiguous
        return frame.swaplevel(0, 1).sort_index()
    return frame.set_axis(frame.index.set_names([None, "instrument"]), axis=0)


CASES = {
    "swapped": r"trading days in index level 1 \(named \"datetime\"\).*must be the first level",
    "unnamed": r"needs the trading day as the first index level, named \"datetime\".*"
               r"\[None, 'instrument'\]",
}


@pytest.mark.parametrize("call", ["fit", "fit_thresh", "gen_market_label", "get_daily_inter"])
@pytest.mark.parametrize("case", sorted(CASES))
def test_day_level_must_come_first(make_add, labelled, lines, in_tmp, case, call):
    good = labelled([8] * 12)
    df = reindexed(good, case)
    add = make_add(batch_size=16, n_epochs=1)
    if call == "get_daily_inter" and case == "unnamed":
        # grouping by position needs no name: an unnamed day level still works
        index, count = add.get_daily_inter(df)
        assert list(count) == [8] * 12
        return
    with pytest.raises(ValueError, match=CASES[case]):
        if call == "fit":
            add.fit((df, (".iloc[:64]", ".iloc[64:]")))
        elif call == "fit_thresh":
            add.fit_thresh(df["label"])
        elif call == "gen_market_label":
            add.fit_thresh(good["label"])
            add.gen_market_label(df, df["label"])
        else:
            add.get_daily_inter(df)
    assert lines == [] and add.fitted is False
    if call in ("fit", "fit_thresh"):
        assert not hasattr(add, "lo")
