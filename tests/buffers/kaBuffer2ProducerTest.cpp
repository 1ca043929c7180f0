#include "buffers/kaBuffer2Producer.h"

#include <gtest/gtest.h>

#include "BufferTestSupport.h"
#include "buffers/kaOptimizedBuffer2Producer.h"

namespace {

using kaBuffer2ProducerTest = LiveObjectsTest;

std::shared_ptr<kaBuffer2> NewSharedBuffer(int32_t width) {
  auto* buffer = new kaBuffer2(veMediaTypeVideo);
  buffer->SetWidth(width);
  return zAsSharedPtr(buffer);
}

}  // namespace

TEST_F(kaBuffer2ProducerTest, ProduceBufferCallsAProduceThatYieldedABufferOnlyOnce) {
  kaBuffer2Producer producer;
  int calls = 0;
  producer.produce = [&] {
    ++calls;
    return NewSharedBuffer(640);
  };
  std::shared_ptr<kaBuffer2> first = producer.ProduceBuffer();
  std::shared_ptr<kaBuffer2> second = producer.ProduceBuffer();
  EXPECT_EQ(calls, 1);
  ASSERT_TRUE(first);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->Width(), 640);
}

TEST_F(kaBuffer2ProducerTest, ProduceThatYieldsNothingIsTriedAgain) {
  kaBuffer2Producer producer;
  int calls = 0;
  producer.produce = [&]() -> std::shared_ptr<kaBuffer2> {
    ++calls;
    if (calls < 3) return {};
    return NewSharedBuffer(8);
  };
  EXPECT_FALSE(producer.ProduceBuffer());
  EXPECT_FALSE(producer.ProduceBuffer());
  EXPECT_TRUE(producer.ProduceBuffer());
  EXPECT_TRUE(producer.ProduceBuffer());
  EXPECT_EQ(calls, 3);
}

TEST_F(kaBuffer2ProducerTest, EmptyProduceYieldsNothingWithoutThrowing) {
  kaBuffer2Producer producer;
  std::shared_ptr<kaBuffer2> result;
  EXPECT_NO_THROW(result = producer.ProduceBuffer());
  EXPECT_FALSE(result);
}

TEST_F(kaBuffer2ProducerTest, MetadataIsTheProducedBuffersRecord) {
  kaBuffer2Producer producer;
  int calls = 0;
  producer.produce = [&] {
    ++calls;
    return NewSharedBuffer(1920);
  };
  const veMediaRecord* metadata = producer.ProduceMetadata();
  EXPECT_EQ(calls, 1);
  ASSERT_TRUE(producer.produced);
  EXPECT_EQ(metadata, static_cast<const veMediaRecord*>(producer.produced.get()));
  EXPECT_EQ(metadata->Width(), 1920);
  // The buffer stays with the producer only: one reference.
  EXPECT_EQ(producer.produced->RefCountForTesting(), 1);
  EXPECT_EQ(producer.ProduceBuffer(), producer.produced);
  EXPECT_EQ(calls, 1);
}

TEST_F(kaBuffer2ProducerTest, MetadataWithoutABufferIsTheSameEmptyRecordEveryTime) {
  kaBuffer2Producer first;
  kaBuffer2Producer second;
  second.produce = [] { return std::shared_ptr<kaBuffer2>(); };
  const veMediaRecord* a = first.ProduceMetadata();
  const veMediaRecord* b = first.ProduceMetadata();
  const veMediaRecord* c = second.ProduceMetadata();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, c);
  EXPECT_EQ(a, &kaBuffer2Producer::EmptyMetadata());
  EXPECT_EQ(a->MediaType(), 0u);
  EXPECT_EQ(a->Count(), 0);
}

TEST_F(kaBuffer2ProducerTest, DestroyingTheProducerReleasesTheProducedBuffer) {
  const int64_t before = LiveSinceStart();
  {
    kaBuffer2Producer producer;
    producer.produce = [] { return NewSharedBuffer(2); };
    producer.ProduceBuffer();
    EXPECT_EQ(LiveSinceStart(), before + 1);
  }
  EXPECT_EQ(LiveSinceStart(), before);
}

TEST_F(kaBuffer2ProducerTest, OptimizedProducerAnswersMetadataWithoutProducing) {
  veMediaRecord format(veMediaTypeVideo);
  format.SetWidth(1280);
  kaOptimizedBuffer2Producer producer(&format);
  int calls = 0;
  producer.produce = [&] {
    ++calls;
    return NewSharedBuffer(1280);
  };
  kaBuffer2Producer& base = producer;
  EXPECT_EQ(base.ProduceMetadata(), &format);
  EXPECT_EQ(base.ProduceMetadata(), &format);
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(producer.produced);
  ASSERT_TRUE(base.ProduceBuffer());
  EXPECT_EQ(calls, 1);
  // Still the maker's record, not the buffer's.
  EXPECT_EQ(base.ProduceMetadata(), &format);
}
