"""The candle cache: bars kept in memory and in a store on disk shared by every console."""
